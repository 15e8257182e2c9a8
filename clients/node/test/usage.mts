// Compiled only (tsc --noEmit): the declarations as a program that uses them sees them.
import { NothingToCaptureError, PermissionError, QztapError, readSamples, start } from "qztap";

export async function capture(binary: string | undefined): Promise<number> {
  const controller = new AbortController();
  const tap = start({
    binary,
    chunk: 160,
    restart: { firstDelay: 250, maxRestarts: 3 },
    signal: controller.signal,
    onStatus: (line: string) => line.length,
    onRestart: ({ attempt, delay, error }) => attempt + delay + error.statusLine.length,
  });
  const line: string = await tap.started;
  let total = line.length + (tap.pid ?? 0);
  try {
    for await (const samples of tap) total += samples.length;
  } catch (error) {
    if (error instanceof PermissionError || error instanceof NothingToCaptureError) return -1;
    if (error instanceof QztapError) return error.exitCode ?? 0;
  }
  await tap.stop();
  await tap.ended;
  for await (const samples of readSamples([new Uint8Array(8)], { chunk: 2 })) total += samples[1];
  // @ts-expect-error: a chunk is a number of samples
  start({ chunk: "320" });
  return total;
}
