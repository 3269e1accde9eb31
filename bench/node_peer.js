#!/usr/bin/env node
// The peer any JavaScript host would be for `quillstone-cli open`: read every document.json the
// library looks at (the writing folder, its Archive folder and the reserved documents of the
// support folder), JSON.parse each, collect the documents in one array, JSON.stringify it and
// write it out.
//
//   node bench/node_peer.js ROOT SUPPORT > answer.json
'use strict';
const fs = require('fs');
const path = require('path');

const [root, support] = process.argv.slice(2);
if (!root || !support) {
  process.stderr.write('usage: node bench/node_peer.js ROOT SUPPORT\n');
  process.exit(2);
}

const docs = [];
for (const folder of [root, path.join(root, 'Archive'), path.join(support, 'reserved')]) {
  let names;
  try {
    names = fs.readdirSync(folder).sort();
  } catch {
    continue;
  }
  for (const name of names) {
    if (!name.endsWith('.quillstone')) continue;
    try {
      docs.push(JSON.parse(fs.readFileSync(path.join(folder, name, 'document.json'), 'utf8')).doc);
    } catch {
      // as the library: a package that can't be read is left out
    }
  }
}
const text = JSON.stringify({ docs });
fs.writeSync(1, text);
fs.writeSync(1, '\n');
process.stderr.write(`${docs.length} documents, ${text.length} characters\n`);
