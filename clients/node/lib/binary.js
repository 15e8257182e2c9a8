import { existsSync } from "node:fs";
import { fileURLToPath } from "node:url";

/**
 * The qztap to run: the one asked for, else the one bundled in this package for this
 * platform (bin/<platform>-<arch>/), else whichever is on PATH.
 */
export function findBinary(binary) {
  if (binary) return binary;
  const name = process.platform === "win32" ? "qztap.exe" : "qztap";
  const bundled = fileURLToPath(
    new URL(`../bin/${process.platform}-${process.arch}/${name}`, import.meta.url),
  );
  return existsSync(bundled) ? bundled : "qztap";
}
