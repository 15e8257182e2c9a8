import { accessSync, closeSync, constants, openSync, readSync, statSync } from "node:fs";
import { createRequire } from "node:module";
import { delimiter, dirname, extname, join } from "node:path";

import { QztapError } from "./errors.js";

const PLATFORM = `${process.platform}-${process.arch}`;
const PACKAGE = `@qztap/${PLATFORM}`;
const NAME = process.platform === "win32" ? "qztap.exe" : "qztap";
const HOW_TO_GET_ONE =
  "npm installs that package with qztap on linux-x64 and linux-arm64 (glibc), darwin-arm64, " +
  "darwin-x64 and win32-x64, unless optional dependencies are left out; elsewhere build qztap " +
  "from its sources and put it on PATH, or name it with the binary option or QZTAP_BINARY";
// Where each place to look finds a qztap, in the order they are tried.
const LOOKUP = [
  ["the binary option", (binary) => binary && commandPath(binary)],
  ["QZTAP_BINARY", () => process.env.QZTAP_BINARY && commandPath(process.env.QZTAP_BINARY)],
  [PACKAGE, platformBinary],
  ["PATH", () => onPath(NAME)],
];
// An ELF header's machine field, as Node names the architectures.
const ELF_MACHINES = { 0x03: "ia32", 0x28: "arm", 0x3e: "x64", 0xb7: "arm64" };
const MACH_O_MAGICS = [0xcafebabe, 0xcffaedfe, 0xcefaedfe]; // universal, 64- and 32-bit

/**
 * The qztap to run: `binary`, else $QZTAP_BINARY, else the one in this platform's package
 * (@qztap/<platform>-<arch>, an optional dependency of this one), else qztap on PATH.
 * Throws a QztapError that says why when there is none, or the one found cannot run.
 */
export function findBinary(binary) {
  for (const [source, look] of LOOKUP) {
    const found = look(binary);
    if (!found) continue;
    const unrunnable = whyUnrunnable(found);
    if (unrunnable) {
      throw new QztapError(`cannot run qztap at ${found} (from ${source}): ${unrunnable}`);
    }
    return found;
  }
  throw new QztapError(
    `no qztap found for ${PLATFORM}: the binary option and QZTAP_BINARY are not set, ` +
      `${PACKAGE} is not installed, and PATH has none; ${HOW_TO_GET_ONE}`,
  );
}

/** A command as spawn would run it: a bare name is looked up on PATH. */
function commandPath(command) {
  if (/[\\/]/.test(command)) return command;
  const name = process.platform === "win32" && !extname(command) ? `${command}.exe` : command;
  return onPath(name) ?? command;
}

function platformBinary() {
  let manifest;
  try {
    manifest = createRequire(import.meta.url).resolve(`${PACKAGE}/package.json`);
  } catch (error) {
    if (error.code === "MODULE_NOT_FOUND") return undefined;
    throw error;
  }
  const binary = join(dirname(manifest), NAME);
  // Electron reads an app's files from its .asar archive, but can run a program only
  // from the archive's unpacked copy beside it.
  return process.versions.electron ? binary.replace(/\.asar([\\/])/, ".asar.unpacked$1") : binary;
}

function onPath(name) {
  for (const folder of (process.env.PATH ?? "").split(delimiter)) {
    if (folder && executable(join(folder, name))) return join(folder, name);
  }
  return undefined;
}

function executable(path) {
  try {
    accessSync(path, constants.X_OK);
    return statSync(path).isFile();
  } catch {
    return false;
  }
}

/** Why the file at `path` cannot run here, or undefined if nothing says it cannot. */
function whyUnrunnable(path) {
  let stat;
  try {
    stat = statSync(path);
  } catch {
    return "it does not exist";
  }
  if (!stat.isFile()) return "it is not a file";
  if (process.platform !== "win32" && !executable(path)) {
    const mode = (stat.mode & 0o777).toString(8);
    return `it is not executable (mode ${mode}; chmod 755 gives it back)`;
  }
  // Checked before it runs: on Linux, a program for another machine would be handed to
  // the shell, whose complaint would look like qztap's own.
  const kind = programKind(path);
  const native = process.platform === "win32" ? "a Windows program"
    : process.platform === "darwin" ? "a macOS program" : `an ELF program for ${process.arch}`;
  if (kind && kind !== native) return `it is ${kind}, not for this ${PLATFORM}`;
  return undefined;
}

/** What an executable's first bytes say it is, or undefined (a script, say). */
function programKind(path) {
  const header = Buffer.alloc(20);
  const file = openSync(path, "r");
  try {
    readSync(file, header, 0, header.length, 0);
  } finally {
    closeSync(file);
  }
  if (header.readUInt32BE(0) === 0x7f454c46) {
    return `an ELF program for ${ELF_MACHINES[header.readUInt16LE(18)] ?? "another machine"}`;
  }
  if (header.toString("latin1", 0, 2) === "MZ") return "a Windows program";
  if (MACH_O_MAGICS.includes(header.readUInt32BE(0))) return "a macOS program";
  return undefined;
}
