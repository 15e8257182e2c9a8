/** qztap ended other than by being stopped. */
export class QztapError extends Error {
  constructor(message, { exitCode = null, signal = null, statusLine = "" } = {}) {
    super(statusLine ? `${message} (${statusLine})` : message);
    this.name = new.target.name;
    this.exitCode = exitCode;
    this.signal = signal;
    this.statusLine = statusLine;
  }
}

export class PermissionError extends QztapError {}
export class NothingToCaptureError extends QztapError {}
export class StartError extends QztapError {}
export class StreamStoppedError extends QztapError {}
export class OutputError extends QztapError {}

const BY_EXIT_CODE = {
  2: [
    PermissionError,
    "no access to the audio: no sound server is reachable, or (macOS) the app that " +
      "started this program lacks the Screen Recording permission; grant it in System " +
      "Settings > Privacy & Security > Screen Recording, then start the app again",
  ],
  3: [NothingToCaptureError, "nothing to capture: there is no output device"],
  4: [StartError, "the capture could not start"],
  5: [StreamStoppedError, "the capture stopped, e.g. the sound server went away"],
  6: [OutputError, "qztap could not write its output"],
};

/**
 * What it means when the system's loader refused to start qztap: it ends a program it
 * cannot load with 127, or with 1 when the C library is older than the program needs;
 * qztap itself uses neither code.
 */
function loaderRefusal(exitCode, statusLine) {
  if (exitCode === 127) {
    return "the system could not load qztap: a library it needs is missing (on Linux, " +
      "libpulse: install libpulse0 or pulseaudio-libs)";
  }
  if (exitCode === 1 && /GLIBC_[\d.]+' not found/.test(statusLine)) {
    return "the system could not load qztap: its C library is older than qztap needs (the " +
      "released qztap needs glibc 2.31 or newer: Debian 11, Ubuntu 20.04, or later)";
  }
  return undefined;
}

/** The error for a run of qztap that ended with `exitCode` or `signal`; `note` adds to it. */
export function exitError(exitCode, signal, statusLine, note) {
  const details = { exitCode, signal, statusLine };
  if (exitCode in BY_EXIT_CODE) {
    const [ErrorClass, message] = BY_EXIT_CODE[exitCode];
    return new ErrorClass(note ? `${message}; ${note}` : message, details);
  }
  const refusal = loaderRefusal(exitCode, statusLine);
  if (refusal) return new QztapError(refusal, details);
  return new QztapError(
    signal ? `qztap was killed by ${signal}` : `qztap ended with exit code ${exitCode}`,
    details,
  );
}
