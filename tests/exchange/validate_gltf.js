// Validates a glTF or GLB file with the reference validator and prints one
// line with the counts, then each error. Exit status 1 when there are errors.
//   node validate_gltf.js <node_modules/gltf-validator> <file>
const fs = require('fs');
const path = require('path');
const validator = require(path.resolve(process.argv[2]));
const file = process.argv[3];
const external = (uri) => Promise.resolve(
    new Uint8Array(fs.readFileSync(path.resolve(path.dirname(file), decodeURIComponent(uri)))));
validator.validateBytes(new Uint8Array(fs.readFileSync(file)), {externalResourceFunction : external})
    .then((report) => {
        console.log(`${report.issues.numErrors} errors, ${report.issues.numWarnings} warnings`);
        for (const m of report.issues.messages)
            if (m.severity === 0) console.log(`${m.code}: ${m.message} ${m.pointer || ''}`);
        process.exit(report.issues.numErrors ? 1 : 0);
    })
    .catch((e) => {
        console.log(`the validator failed: ${e}`);
        process.exit(2);
    });
