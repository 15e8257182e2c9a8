import { spawn } from "node:child_process";
import { createInterface } from "node:readline";

import { findBinary } from "./binary.js";
import { QztapError, StreamStoppedError, exitError } from "./errors.js";
import { chunkBytes, readSamples } from "./samples.js";

// Delays in milliseconds. A run that lasted `steadyRun` was a new fault: the back-off
// starts over.
const RESTART = { firstDelay: 500, longestDelay: 8000, maxRestarts: 5, steadyRun: 10000 };
const KILL_AFTER_MS = 5000; // a qztap still running this long after stop() is killed

/** Starts qztap; see index.d.ts. */
export function start(options) {
  return new Tap(options);
}

class Tap {
  #binary;
  #chunk;
  #restart;
  #onStatus;
  #onRestart;
  #signal;
  #stopOnAbort = () => this.stop();
  #run;
  #stopping = false;
  #done = false;
  #restarts = 0;
  #delay;
  #restartTimer = null;
  #settleStarted;
  #settleEnded;

  constructor({ binary, chunk = 320, restart = false, signal, onStatus, onRestart } = {}) {
    chunkBytes(chunk);
    this.#binary = findBinary(binary);
    this.#chunk = chunk;
    this.#restart = restart === true ? RESTART : restart ? { ...RESTART, ...restart } : null;
    this.#delay = this.#restart?.firstDelay;
    this.#onStatus = onStatus;
    this.#onRestart = onRestart;
    this.started = new Promise((resolve, reject) => (this.#settleStarted = { resolve, reject }));
    this.ended = new Promise((resolve, reject) => (this.#settleEnded = { resolve, reject }));
    // Neither needs awaiting: iterating reports the same end.
    this.started.catch(() => {});
    this.ended.catch(() => {});
    this.#signal = signal;
    signal?.addEventListener("abort", this.#stopOnAbort, { once: true });
    this.#run = this.#spawn();
    if (signal?.aborted) this.stop();
  }

  /** The process id of the qztap running now. */
  get pid() {
    return this.#run.child.pid;
  }

  async *[Symbol.asyncIterator]() {
    try {
      for (let run = this.#run; run; run = await run.next) {
        try {
          yield* readSamples(run.child.stdout, { chunk: this.#chunk });
        } catch (error) {
          if (!this.#stopping) throw error; // else stop() cut the read short
        }
      }
      await this.ended;
    } finally {
      await this.stop(); // also when the loop is left early
    }
  }

  stop() {
    if (!this.#done) {
      this.#stopping = true;
      const run = this.#run;
      if (this.#restartTimer) {
        clearTimeout(this.#restartTimer);
        this.#end(run, null);
      } else {
        // With its reader gone qztap ends at once, by SIGPIPE (exit code 141 on
        // Windows), even while nothing plays.
        run.child.stdout.destroy();
        run.killTimer ??= setTimeout(() => run.child.kill("SIGKILL"), KILL_AFTER_MS);
      }
    }
    return this.ended.then(
      () => {},
      () => {},
    );
  }

  #spawn() {
    const child = spawn(this.#binary, [], {
      stdio: ["ignore", "pipe", "pipe"],
      // A session of its own on POSIX, so that Ctrl-C reaches only this program, which
      // then stops qztap by closing the pipe (on Windows it would open a console).
      detached: process.platform !== "win32",
      windowsHide: true,
    });
    const run = { child, statusLine: "", began: Date.now(), finished: false };
    run.next = new Promise((resolve) => (run.resolveNext = resolve));
    createInterface({ input: child.stderr, crlfDelay: Infinity }).on("line", (line) => {
      this.#onStatus?.(line);
      if (line.startsWith("CAPTURE_STARTED")) this.#settleStarted.resolve(line);
      else run.statusLine = line;
    });
    // A binary that cannot run gives "error", then "close".
    child.once("error", (error) => this.#finish(run, error));
    child.once("close", (exitCode, signal) => this.#finish(run, null, exitCode, signal));
    return run;
  }

  #finish(run, spawnError, exitCode, signal) {
    if (run.finished) return;
    run.finished = true;
    clearTimeout(run.killTimer);
    if (this.#stopping) return this.#end(run, null);
    if (spawnError) {
      return this.#end(run, new QztapError(`could not run ${this.#binary}: ${spawnError.message}`));
    }
    const restart = this.#restart;
    const error = exitError(exitCode, signal, run.statusLine);
    if (!restart || !(error instanceof StreamStoppedError)) return this.#end(run, error);
    if (Date.now() - run.began >= restart.steadyRun) {
      this.#restarts = 0;
      this.#delay = restart.firstDelay;
    }
    if (this.#restarts === restart.maxRestarts) {
      const gaveUp = `gave up after ${this.#restarts} restarts in a row`;
      return this.#end(run, exitError(exitCode, signal, run.statusLine, gaveUp));
    }
    const delay = this.#delay;
    this.#restarts += 1;
    this.#delay = Math.min(delay * 2, restart.longestDelay);
    this.#onRestart?.({ attempt: this.#restarts, delay, error });
    this.#restartTimer = setTimeout(() => {
      this.#restartTimer = null;
      this.#run = this.#spawn();
      run.resolveNext(this.#run);
    }, delay);
  }

  #end(run, error) {
    this.#done = true;
    this.#signal?.removeEventListener("abort", this.#stopOnAbort);
    this.#settleStarted.reject(error ?? new QztapError("qztap was stopped before it started"));
    if (error) this.#settleEnded.reject(error);
    else this.#settleEnded.resolve();
    run.resolveNext(null);
  }
}
