// A tap run as tests/e2e/test_clients.py asks, reported on: the samples to standard
// output, events to standard error, a line each, fields apart by tabs. Standard input
// closing stops the tap, by stop() or (--abort) through its AbortSignal.
//   node probe.mjs --binary PATH [--chunk N] [--restart default|FIRST,LONGEST,MAX,STEADY]
//                  [--child] [--abort] [--electron]      (delays in seconds)
import { spawn } from "node:child_process";
import { parseArgs } from "node:util";

import { start } from "qztap";

const { values: args } = parseArgs({
  options: {
    binary: { type: "string" },
    chunk: { type: "string", default: "320" },
    restart: { type: "string" },
    child: { type: "boolean" },
    abort: { type: "boolean" },
    electron: { type: "boolean" },
  },
});
const report = (...fields) => process.stderr.write(`${fields.join("\t")}\n`);
const reportEnd = (error) =>
  report("end", error.name, error.exitCode ?? "", error.statusLine, error.message);
if (args.electron) process.versions.electron = "probe"; // as Electron's Node says it is
const [firstDelay, longestDelay, maxRestarts, steadyRun] = (args.restart ?? "").split(",").map(Number);
const seconds = (value) => value * 1000;
const restart = args.restart === "default" ||
  (args.restart !== undefined && {
    firstDelay: seconds(firstDelay),
    longestDelay: seconds(longestDelay),
    maxRestarts,
    steadyRun: seconds(steadyRun),
  });
const chunk = Number(args.chunk);
const controller = new AbortController();
let tap;
try {
  tap = start({
    binary: args.binary,
    chunk,
    restart,
    signal: controller.signal,
    onStatus: (line) => report("status", line),
    onRestart: ({ attempt, delay, error }) => report("restart", attempt, delay / 1000, error.name),
  });
} catch (error) {
  reportEnd(error);
  process.exit();
}
tap.started.then(
  () => {
    report("started", tap.pid);
    // Started as a program starts its other children: it must not get qztap's output.
    if (args.child) report("child", spawn("sleep", ["60"], { stdio: "ignore" }).pid);
  },
  (error) => report("start-failed", error.name),
);
process.stdin.on("end", () => {
  const stopped = args.abort ? (controller.abort(), tap.ended) : tap.stop();
  stopped.then(() => report("stopped", alive(tap.pid) ? "alive" : "gone"));
}).resume();

try {
  for await (const samples of tap) {
    if (samples.length !== chunk) report("bad-chunk", samples.length);
    process.stdout.write(new Uint8Array(samples.buffer, samples.byteOffset, samples.byteLength));
  }
  report("end", "ok");
} catch (error) {
  reportEnd(error);
}
process.exit();

function alive(pid) {
  try {
    process.kill(pid, 0);
    return true;
  } catch {
    return false;
  }
}
