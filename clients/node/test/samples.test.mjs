// Chunks of whole samples, whatever sizes the pipe's reads come in (1 to 4099 bytes).
import assert from "node:assert/strict";
import { test } from "node:test";

import { readSamples } from "qztap";

function seeded(seed) {
  return () => (seed = (seed * 1103515245 + 12345) % 2 ** 31) / 2 ** 31;
}

test("chunks hold exactly the bytes read, in whole samples", async () => {
  const random = seeded(7);
  const data = Uint8Array.from({ length: 200_000 }, () => Math.floor(random() * 256));
  for (const chunk of [1, 320, 333]) {
    const pieces = [];
    for (let at = 0; at < data.length; ) {
      const size = 1 + Math.floor(random() * 4099);
      pieces.push(data.subarray(at, (at += size)));
    }
    const out = [];
    for await (const samples of readSamples(pieces, { chunk })) {
      assert.equal(samples.length, chunk);
      out.push(Buffer.from(samples.buffer, samples.byteOffset, samples.byteLength));
    }
    const whole = data.length - (data.length % (chunk * 4));
    assert.ok(Buffer.concat(out).equals(data.subarray(0, whole)), `chunk ${chunk}`);
  }
});
