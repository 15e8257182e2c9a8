const LITTLE_ENDIAN = new Uint8Array(new Uint16Array([1]).buffer)[0] === 1;

/**
 * Cuts a stream of qztap's bytes (float32, little-endian) into Float32Arrays of exactly
 * `chunk` samples, whatever sizes its reads come in. A tail shorter than a chunk when
 * the stream ends is dropped.
 */
export async function* readSamples(bytes, { chunk = 320 } = {}) {
  const size = chunkBytes(chunk);
  let pending = new Uint8Array(size);
  let filled = 0;
  for await (const piece of bytes) {
    for (let taken = 0; taken < piece.length; ) {
      const part = piece.subarray(taken, taken + size - filled);
      pending.set(part, filled);
      filled += part.length;
      taken += part.length;
      if (filled === size) {
        yield toSamples(pending);
        pending = new Uint8Array(size);
        filled = 0;
      }
    }
  }
}

/** The size in bytes of a chunk of `chunk` samples; throws unless that is a whole number. */
export function chunkBytes(chunk) {
  if (!Number.isInteger(chunk) || chunk < 1) {
    throw new RangeError(`chunk must be a whole number of samples, not ${chunk}`);
  }
  return chunk * 4;
}

function toSamples(bytes) {
  if (!LITTLE_ENDIAN) {
    for (let i = 0; i < bytes.length; i += 4) bytes.subarray(i, i + 4).reverse();
  }
  return new Float32Array(bytes.buffer);
}
