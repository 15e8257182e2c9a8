/** How qztap is started again after its capture stopped (`STREAM_STOPPED`, exit 5). */
export interface RestartOptions {
  /** Milliseconds before the first restart (500); each further one waits twice as long... */
  firstDelay?: number;
  /** ...up to this many milliseconds (8000). */
  longestDelay?: number;
  /** Restarts in a row before the tap gives up with a StreamStoppedError (5). */
  maxRestarts?: number;
  /** A run that lasted this many milliseconds (10000) starts the back-off over. */
  steadyRun?: number;
}

export interface RestartEvent {
  /** 1 for the first restart in a row. */
  attempt: number;
  /** Milliseconds until qztap is started again. */
  delay: number;
  error: StreamStoppedError;
}

export interface StartOptions {
  /**
   * The qztap to run; without it, $QZTAP_BINARY, else the one in this platform's package
   * (@qztap/<platform>-<arch>, which npm installs with this one), else qztap on PATH.
   */
  binary?: string;
  /** Samples in each chunk the tap yields: 320 (20 ms at 16 kHz) unless set. */
  chunk?: number;
  /** Start qztap again after its capture stopped: true for the default back-off. */
  restart?: boolean | RestartOptions;
  /** Aborting it stops the tap, as stop() does. */
  signal?: AbortSignal;
  /** Every status line qztap writes, without its line feed. */
  onStatus?: (line: string) => void;
  /** Called as a restart is scheduled. */
  onRestart?: (event: RestartEvent) => void;
}

/** A running qztap. Iterate it once: it yields chunks of 16 kHz mono samples. */
export interface Tap extends AsyncIterable<Float32Array> {
  /** Resolves with the start line; rejects if the tap ends before capture starts. */
  readonly started: Promise<string>;
  /** Resolves once the tap was stopped and qztap has exited; rejects with the error that ended it. */
  readonly ended: Promise<void>;
  /** The process id of the qztap running now. */
  readonly pid: number | undefined;
  /** Stops qztap by closing its output; resolves once it has exited. */
  stop(): Promise<void>;
}

/** Starts qztap; throws a QztapError if it finds none, or the one it finds cannot run. */
export function start(options?: StartOptions): Tap;

/** Cuts a stream of qztap's bytes into chunks of `chunk` whole samples (320 by default). */
export function readSamples(
  bytes: AsyncIterable<Uint8Array> | Iterable<Uint8Array>,
  options?: { chunk?: number },
): AsyncGenerator<Float32Array, void, undefined>;

/** qztap ended other than by being stopped. */
export class QztapError extends Error {
  /** qztap's exit code, or null if it was killed by a signal or never ran. */
  readonly exitCode: number | null;
  readonly signal: string | null;
  /** The status line qztap wrote as it ended, or "". */
  readonly statusLine: string;
}
/** Exit 2: no sound server reachable, or (macOS) no Screen Recording permission. */
export class PermissionError extends QztapError {}
/** Exit 3: no output device to capture. */
export class NothingToCaptureError extends QztapError {}
/** Exit 4: the capture stream could not start. */
export class StartError extends QztapError {}
/** Exit 5: the running capture stopped, e.g. the sound server went away. */
export class StreamStoppedError extends QztapError {}
/** Exit 6: qztap's output failed. */
export class OutputError extends QztapError {}
