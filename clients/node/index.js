export { start } from "./lib/tap.js";
export { readSamples } from "./lib/samples.js";
export {
  QztapError,
  PermissionError,
  NothingToCaptureError,
  StartError,
  StreamStoppedError,
  OutputError,
} from "./lib/errors.js";
