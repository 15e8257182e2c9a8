#!/usr/bin/env node
// Live captions in Node: what the machine plays, turned into text as it plays. qztap's
// samples, through the qztap package (npm install the tarball `npm pack` makes in
// clients/node), become the 16-bit integers the recogniser reads and go straight into
// pocketsphinx_continuous (Debian packages pocketsphinx and pocketsphinx-en-us), which
// prints a line of text for every stretch of speech it hears. As
// examples/live_captions.py does in Python.
//   node captions.mjs [--qztap PATH]      # Ctrl-C to stop
import { spawn } from "node:child_process";
import { once } from "node:events";
import { createInterface } from "node:readline";
import { parseArgs } from "node:util";

import { QztapError, start } from "qztap";

const { values: args } = parseArgs({ options: { qztap: { type: "string" } } });
// The stock US English model; -infile reads raw 16 kHz 16-bit mono as it arrives. Node
// gives a child a socket, which /dev/stdin cannot open: cat hands over through a pipe.
const recogniser = spawn(
  "sh",
  ["-c", "cat | exec pocketsphinx_continuous -infile /dev/stdin -logfn /dev/null"],
  { stdio: ["pipe", "pipe", "inherit"] },
);
createInterface({ input: recogniser.stdout }).on("line", (line) => {
  if (line.trim()) console.log(line.trim());
});

const stopping = new AbortController();
process.once("SIGINT", () => stopping.abort());
const tap = start({
  binary: args.qztap,
  signal: stopping.signal,
  onStatus: (line) => console.error(`qztap: ${line}`),
});
try {
  for await (const samples of tap) {
    // 1.0 is full scale; louder samples are clipped, not wrapped around.
    const pcm = Int16Array.from(samples, (s) => Math.max(-32768, Math.min(32767, Math.round(s * 32768))));
    if (!recogniser.stdin.write(new Uint8Array(pcm.buffer))) await once(recogniser.stdin, "drain");
  }
} catch (error) {
  if (!(error instanceof QztapError)) throw error;
  console.error(`captions: ${error.message}`);
  process.exitCode = 1;
}
recogniser.stdin.end(); // the recogniser finishes what it heard last, then ends
await once(recogniser, "close");
