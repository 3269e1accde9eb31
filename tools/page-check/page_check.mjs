// Drives the editor page in headless Chromium the way a writer would, with a stand-in for the
// native message handler, and checks what the page sends. A developer aid, not part of CI.
//
//   mkdir -p /tmp/pw && cd /tmp/pw && npm i playwright-core      (once; Chromium at /usr/bin/chromium)
//   cd /tmp/pw && node /path/to/repo/tools/page-check/page_check.mjs [--shots DIR]
//
// When build/quillstone-cli exists, a last round runs the page against the real library through
// `quillstone-cli bridge` in temporary folders and looks at the packages it writes.
//
// playwright-core is resolved from the current folder, so nothing is installed in the repository.

import { createRequire } from "node:module";
import { spawn } from "node:child_process";
import { readFileSync, mkdirSync, mkdtempSync, existsSync, readdirSync } from "node:fs";
import os from "node:os";
import readline from "node:readline";
import path from "node:path";
import { fileURLToPath } from "node:url";
import net from "node:net";

const require = createRequire(path.join(process.cwd(), "noop.js"));
const { chromium } = require("playwright-core");

const repo = path.resolve(path.dirname(fileURLToPath(import.meta.url)), "../..");
const shots = process.argv.includes("--shots") ? process.argv[process.argv.indexOf("--shots") + 1] : "/tmp/quillstone-page-shots";
mkdirSync(shots, { recursive: true });
const bridge = readFileSync(path.join(repo, "host/bridge.js"), "utf8");

let failures = 0;
function check(ok, what, detail) {
  console.log((ok ? "ok   " : "FAIL ") + what + (ok || detail === undefined ? "" : "  -> " + JSON.stringify(detail)));
  if (!ok) failures++;
}

const freePort = () => new Promise((resolve) => {
  const s = net.createServer().listen(0, "127.0.0.1", () => { const p = s.address().port; s.close(() => resolve(p)); });
});

const welcome = {
  id: "welcome", title: "Welcome", created: 1, updated: 1, archived: false,
  nodes: [
    { id: "n1", content: [{ text: "Writing lives on the page; " }, { text: "subtext", marks: [{ type: "italic" }] }, { text: " lives beneath it." }],
      children: [{ id: "b1", text: "A note." }, { id: "b2", text: "A thought the AI wrote.", ai: "Claude" }] },
    { id: "n2", level: 1, text: "A heading" },
  ],
};

// Stands in for the native handler: answers like the host does, records every message.
function fakeHost(workspace) {
  window.__sent = [];
  window.__failWrites = false;
  const reply = (value) => "\u001e" + JSON.stringify(value);
  window.webkit = { messageHandlers: { quillstoneHost: { postMessage(m) {
    const message = JSON.parse(JSON.stringify(m));
    window.__sent.push(message);
    if (message.op === "open") return new Promise((r) => setTimeout(() => r(reply(workspace)), 50));
    if (message.op === "write") return Promise.resolve(reply(window.__failWrites ? { message: "Couldn't write “X” to Documents → Quillstone." } : true));
    return Promise.resolve(reply(true));
  } } } };
}

const server = await freePort().then((port) => new Promise((resolve) => {
  const child = spawn("python3", ["-m", "http.server", String(port), "--bind", "127.0.0.1"], { cwd: path.join(repo, "web"), stdio: "ignore" });
  setTimeout(() => resolve({ child, url: `http://127.0.0.1:${port}/index.html` }), 600);
}));

const browser = await chromium.launch({
  executablePath: process.env.CHROMIUM || "/usr/bin/chromium",
  args: ["--headless", "--no-sandbox", "--disable-gpu", "--disable-background-networking", "--disable-dev-shm-usage"],
});

// The real library behind `quillstone-cli bridge`: one message a line, answered one at a time
// (the tool answers in completion order, so requests are not overlapped).
function cliHost(cli, root, support) {
  const child = spawn(cli, ["--root", root, "--support", support, "bridge"], { stdio: ["pipe", "pipe", "inherit"] });
  const lines = readline.createInterface({ input: child.stdout });
  const waiting = [];
  lines.on("line", (line) => waiting.shift()(JSON.parse(line)));
  let chain = Promise.resolve();
  const ask = (message) => (chain = chain.then(() => new Promise((resolve) => {
    waiting.push(resolve);
    child.stdin.write(JSON.stringify(message) + "\n");
  })));
  return { ask, close: () => child.stdin.end() };
}

// The policy the native scheme handler sends with every file (connect origins left out).
const policy = ["default-src 'self'", "script-src 'self'", "style-src 'self' 'unsafe-inline'", "img-src 'self' data: blob: https:",
  "font-src 'self' data:", "media-src 'self' blob: data:", "worker-src 'self' blob:", "connect-src 'self' blob: data:",
  "object-src 'none'", "frame-src 'none'"].join("; ");

async function page(workspace, { scheme = "light", host = true, focus, real } = {}) {
  const context = await browser.newContext({ viewport: { width: 1100, height: 720 }, colorScheme: scheme });
  await context.route("**/*", async (route) => {
    const response = await route.fetch();
    await route.fulfill({ response, headers: { ...response.headers(), "content-security-policy": policy } });
  });
  const p = await context.newPage();
  p.on("console", (m) => { if (/Content Security Policy/i.test(m.text())) check(false, "no policy violation", m.text()); });
  if (real) {
    await p.exposeBinding("__realHost", (_, message) => real.ask(message));
    await p.addInitScript(() => {
      window.__sent = [];
      window.webkit = { messageHandlers: { quillstoneHost: { postMessage(m) {
        window.__sent.push(JSON.parse(JSON.stringify(m)));
        return window.__realHost(m).then((r) => ("error" in r ? Promise.reject(new Error(r.error)) : r.value));
      } } } };
    });
    host = false;
  }
  p.on("pageerror", (e) => { if (!/boom/.test(String(e))) check(false, "no page error", String(e)); });
  p.on("console", (m) => { if (m.type() === "error" && !/favicon|404/.test(m.text())) console.log("  console:", m.text()); });
  p.on("dialog", (d) => d.accept());
  if (host) {
    await p.addInitScript(fakeHost, workspace);
    // As the native side splices it: focus and folder globals, then the bridge script.
    const globals = (focus ? `window.__QUILLSTONE_FOCUS__ = ${JSON.stringify(focus)};` : "") + `window.__QUILLSTONE_FOLDER__ = "Documents → Quillstone";`;
    await p.addInitScript(globals + bridge);
  } else if (real) await p.addInitScript(bridge);
  await p.goto(server.url);
  return p;
}

const sent = (p, op) => p.evaluate((op) => window.__sent.filter((m) => !op || m.op === op), op);
const lastWrite = async (p) => (await sent(p, "write")).pop();
const settle = (p) => p.evaluate(() => window.QuillstoneMac.settle());

try {
  // ---- start-up
  const ready = { kind: "ready", state: { docs: [welcome], ui: { current: "welcome" }, workspace: { keep: 1 } }, revs: { welcome: 4 }, meta: null,
    notices: [{ kind: "quarantined", count: 2, files: [{ name: "Old", reason: "Couldn't be read." }, { name: "Plans", reason: "Not downloaded from iCloud yet." }] }] };
  const p = await page(ready);
  await p.waitForFunction(() => window.__sent.some((m) => m.op === "loaded"));
  const ops = (await sent(p)).map((m) => m.op);
  check(ops.indexOf("open") < ops.indexOf("loaded"), "open before loaded", ops);
  const chrome = (await sent(p, "chrome"))[0];
  check(chrome && chrome.bg === "rgb(251, 250, 247)" && chrome.tone === "light" && chrome.full === false, "chrome message", chrome);
  check((await sent(p, "doc")).some((m) => m.id === "welcome" && m.title === "Welcome"), "doc names the shown document");
  check(await p.isVisible("text=2 files couldn't be used"), "quarantine notice shown");
  check(await p.isVisible(".bullet.ai .tag"), "AI thought shows its tag");
  check(await p.evaluate(() => document.querySelector(".bullet.ai .note").isContentEditable) === false, "AI thought is read-only");
  const state = (await sent(p, "state")).pop();
  check(state && state.hasDoc === true && state.canUndo === false && state.archived === false, "menu state", state);

  // ---- a new document: title, text, bold, a note
  check(await p.evaluate(() => window.QuillstoneApp.run("newDoc", null)) === true, "run newDoc");
  await p.keyboard.type("Field notes");
  await p.keyboard.press("Enter");
  await p.keyboard.type("The river was high this morning.");
  await p.keyboard.press("Home");
  for (let i = 0; i < 4; i++) await p.keyboard.press("ArrowRight");
  for (let i = 0; i < 5; i++) await p.keyboard.press("Shift+ArrowRight");
  await p.keyboard.press("Control+b");
  await p.keyboard.press("End");
  await p.keyboard.press("Enter");
  await p.keyboard.type("Second paragraph, ");
  await p.keyboard.press("Control+Shift+H");
  await p.keyboard.type("still plain.");
  await p.keyboard.press("Tab");
  await p.keyboard.type("check the gauge");
  await p.waitForTimeout(900);
  const w = await lastWrite(p);
  const rec = w && w.batch.docs.find((r) => r.doc && r.doc.title === "Field notes");
  check(!!rec, "write carries the new document", w);
  if (rec) {
    check(/^d-/.test(rec.id) && rec.id === rec.doc.id && rec.deleted === false && rec.deletedAt === null && typeof rec.updated === "number" && Number.isInteger(rec.rev),
      "record shape", { ...rec, doc: undefined });
    const [n1, n2] = rec.doc.nodes;
    check(rec.doc.nodes.length === 2, "two paragraphs", rec.doc.nodes);
    check(JSON.stringify(n1.content) === JSON.stringify([{ text: "The ", marks: [] }, { text: "river", marks: [{ type: "bold" }] }, { text: " was high this morning.", marks: [] }]), "bold run", n1.content);
    check(n2 && n2.children && n2.children[0].text === "check the gauge" && /^b-/.test(n2.children[0].id), "note beneath the second paragraph", n2);
    const ids = [n1.id, n2.id, ...(n2.children || []).map((b) => b.id)];
    check(new Set(ids).size === ids.length, "ids unique", ids);
    check(typeof rec.doc.created === "number" && rec.doc.archived === false, "doc fields");
    check(w.batch.meta.schema === 3 && w.batch.meta.order[0] === rec.id && w.batch.meta.order.includes("welcome") && w.batch.meta.ui.current === rec.id && w.batch.meta.workspace.keep === 1,
      "meta", w.batch.meta);
  }
  check((await sent(p, "doc")).some((m) => m.title === "Field notes"), "doc message follows the title");
  await p.screenshot({ path: path.join(shots, "editor-light.png") });

  // ---- revisions: one per stored change
  const id = rec && rec.id;
  const revBefore = rec && rec.rev;
  await p.keyboard.type(" More.");
  await settle(p);
  const w2 = await lastWrite(p);
  const rec2 = w2.batch.docs.find((r) => r.id === id);
  check(rec2 && rec2.rev === revBefore + 1, "rev raised by one for the next change", [revBefore, rec2 && rec2.rev]);
  const writesBefore = (await sent(p, "write")).length;
  await settle(p);
  check((await sent(p, "write")).length === writesBefore, "settle with nothing pending writes nothing");

  // ---- settle flushes at once; a failed write shows its message and is retried
  await p.evaluate(() => { window.__failWrites = true; });
  await p.keyboard.type(" Failing.");
  await settle(p);
  check(await p.isVisible("text=Couldn't write “X” to Documents → Quillstone."), "failed write shows the message");
  const failedRev = (await lastWrite(p)).batch.docs.find((r) => r.id === id).rev;
  await p.evaluate(() => { window.__failWrites = false; });
  await p.keyboard.type(" Fine.");
  await settle(p);
  const retry = (await lastWrite(p)).batch.docs.find((r) => r.id === id);
  check(retry && retry.rev === failedRev && retry.doc.nodes[1].children[0].text.endsWith("Failing. Fine."), "retry keeps the rev and carries all changes", retry);
  check(!(await p.isVisible(".banner")), "banner goes once a write succeeds");

  // ---- external records
  await p.evaluate(() => window.QuillstoneApp.applyExternal([
    { id: "welcome", rev: 9, updated: 5, deleted: false, deletedAt: null, doc: { id: "welcome", title: "Welcome back", nodes: [{ id: "n1", text: "Changed elsewhere." }] } },
    { id: "other", rev: 1, updated: 6, deleted: false, deletedAt: null, doc: { id: "other", title: "From another window", nodes: [] } },
    { id: "welcome", rev: 3, updated: 4, deleted: false, deletedAt: null, doc: { id: "welcome", title: "Stale", nodes: [] } },
  ]));
  check(await p.isVisible(".doc-item:has-text('Welcome back')") && await p.isVisible(".doc-item:has-text('From another window')") && !(await p.isVisible(".doc-item:has-text('Stale')")), "external records merged by rev");
  await p.evaluate(() => window.QuillstoneApp.applyExternal([{ id: "other", rev: 2, updated: 7, deleted: true, deletedAt: 7 }]));
  check(!(await p.isVisible(".doc-item:has-text('From another window')")), "removal record removes the document");
  // The document being typed in keeps its unsaved text.
  await p.keyboard.type(" Typing.");
  await p.evaluate((id) => window.QuillstoneApp.applyExternal([{ id, rev: 2, updated: 1, deleted: false, deletedAt: null, doc: { id, title: "Old copy", nodes: [] } }]), id);
  check(await p.inputValue(".title") === "Field notes", "typing is not clobbered by an older copy");

  // ---- context menu, press, key, run
  await p.click(".para >> nth=0", { button: "right" });
  const menu = (await sent(p, "contextMenu")).pop();
  check(menu && menu.items.some((i) => i.label === "Bold" && i.id === "bold") && menu.items.some((i) => i.label === "Add Note"), "context menu items", menu);
  check(await p.evaluate(() => window.QuillstoneMac.press("Add note")) === true, "press Add note");
  check(await p.evaluate(() => window.QuillstoneMac.press("No such control")) === false, "press of a missing label");
  await p.keyboard.press("Escape");
  const firstBefore = await p.textContent(".para >> nth=0");
  await p.click(".para >> nth=1");
  await p.evaluate(() => window.QuillstoneMac.key({ key: "ArrowUp", code: "ArrowUp", shift: false, alt: true, ctrl: false, meta: false }));
  check(await p.textContent(".para >> nth=1") === firstBefore, "Move Up key moves the paragraph", await p.textContent(".para >> nth=0"));
  check(await p.evaluate(() => window.QuillstoneApp.run("undo", null)) === false, "unsupported command answers false");
  check(await p.evaluate(() => window.QuillstoneApp.claudeReply("r-00000000-0000-0000-0000-000000000000", ["x"], "Claude")) === false, "unknown Claude request answers false");

  // ---- archive and delete
  await p.evaluate(() => window.QuillstoneApp.run("archive", null));
  await settle(p);
  check((await lastWrite(p)).batch.docs.find((r) => r.id === id).doc.archived === true, "archive writes archived: true");
  check(await p.isVisible("text=Archive (1)"), "Archive section counts the document");
  await p.evaluate(() => window.QuillstoneApp.run("delete", null));
  await settle(p);
  const del = (await lastWrite(p)).batch.docs.find((r) => r.id === id);
  check(del && del.deleted === true && typeof del.deletedAt === "number" && !("doc" in del) && del.rev > retry.rev, "delete sends a removal record", del);
  check(!(await lastWrite(p)).batch.meta.order.includes(id), "order drops the deleted document");

  // ---- import through the native script: several files go to the library
  const files = [
    { name: "Trip.md", type: "text/markdown", data: Buffer.from("# The trip\n\nWe left **early**.\n\n- pack the maps\n- (AI) A thought\n\n## Day two\n\nRain.").toString("base64") },
    { name: "plain notes.txt", type: "text/plain", data: Buffer.from("One.\n\nTwo.").toString("base64") },
  ];
  const importScript = [
    "const files = JSON.parse(filesJSON);",
    "const input = document.querySelector('input[type=file][aria-label=\"Files to import\"]');",
    "if (!input) return false;",
    "if (files.length > 1 && !document.querySelector(\".library\")) {",
    "  window.QuillstoneApp?.run?.(\"library\");",
    "  await new Promise((r) => setTimeout(r, 350));",
    "}",
    "const dt = new DataTransfer();",
    "for (const f of files) {",
    "  const bytes = Uint8Array.from(atob(f.data), (c) => c.charCodeAt(0));",
    "  dt.items.add(new File([bytes], f.name, { type: f.type }));",
    "}",
    "input.files = dt.files;",
    "input.dispatchEvent(new Event(\"change\", { bubbles: true }));",
    "return true;",
  ].join("\n");
  const imported = await p.evaluate(([body, filesJSON]) => new Function("filesJSON", `return (async () => {${body}})()`)(filesJSON), [importScript, JSON.stringify(files)]);
  check(imported === true, "import script answers true");
  await p.waitForTimeout(300);
  check(await p.isVisible(".library") && await p.isVisible(".library >> text=The trip") && await p.isVisible(".library >> text=plain notes"), "library lists the imported documents");
  await p.screenshot({ path: path.join(shots, "library.png") });
  await settle(p);
  const trip = (await sent(p, "write")).flatMap((m) => m.batch.docs).find((r) => r.doc && r.doc.title === "The trip");
  check(trip && trip.doc.nodes.length === 3 && trip.doc.nodes[0].children.length === 2 && trip.doc.nodes[0].children[1].ai === true && trip.doc.nodes[1].level === 1
    && trip.doc.nodes[0].content.some((r) => r.text === "early" && r.marks[0].type === "bold"), "Markdown import shape", trip && trip.doc);

  // ---- editing: join, split, paste, buttons, notes
  await p.evaluate(() => window.QuillstoneApp.run("newDoc"));
  await p.keyboard.type("Edits");
  await p.keyboard.press("Enter");
  await p.keyboard.type("Alpha");
  await p.keyboard.press("Enter");
  await p.keyboard.type("Beta");
  await p.keyboard.press("Home");
  await p.keyboard.press("Backspace");
  check(await p.locator(".para").count() === 1 && await p.textContent(".para") === "AlphaBeta", "Backspace at the start joins paragraphs");
  await p.keyboard.press("Enter");
  await p.keyboard.press("End");
  await p.evaluate(() => {
    const data = new DataTransfer();
    data.setData("text/plain", "One\n\nTwo");
    document.activeElement.dispatchEvent(new ClipboardEvent("paste", { clipboardData: data, bubbles: true, cancelable: true }));
  });
  check(JSON.stringify(await p.$$eval(".para", (els) => els.map((e) => e.textContent))) === JSON.stringify(["Alpha", "BetaOne", "Two"]), "Enter splits; pasted blank lines make paragraphs",
    await p.$$eval(".para", (els) => els.map((e) => e.textContent)));
  await p.keyboard.press("Shift+Home");
  await p.click("button[aria-label=Italic]");
  await p.keyboard.press("Tab");
  await p.keyboard.type("first");
  await p.keyboard.press("Enter");
  await p.keyboard.type("second");
  await p.keyboard.press("Enter");
  await p.keyboard.press("Backspace");
  for (let i = 0; i < 3; i++) await p.keyboard.press("ArrowUp"); // to the first note, then "Two", then "BetaOne"
  await p.keyboard.type("!");
  await settle(p);
  const edits = (await lastWrite(p)).batch.docs.find((r) => r.doc && r.doc.title === "Edits");
  const last = edits && edits.doc.nodes[2];
  check(last && last.content[0].marks[0].type === "italic" && last.children.map((b) => b.text).join("|") === "first|second", "toolbar Italic and notes (Enter adds, Backspace removes)", last);
  check(edits && edits.doc.nodes[1].content[0].text === "BetaOne!", "ArrowUp walks from notes back to the paragraphs", edits && edits.doc.nodes[1]);

  // ---- errors reach the native log
  await p.evaluate(() => setTimeout(() => { throw new Error("boom"); }));
  await p.waitForTimeout(100);
  check((await sent(p, "log")).some((m) => /boom/.test(m.text)), "uncaught errors are logged");
  await p.close();

  // ---- dark, focused window
  const dark = await page(ready, { scheme: "dark", focus: "welcome" });
  await dark.waitForFunction(() => window.__sent.some((m) => m.op === "loaded"));
  const darkChrome = (await sent(dark, "chrome"))[0];
  check(darkChrome.tone === "dark" && darkChrome.bg === "rgb(29, 28, 26)", "dark chrome", darkChrome);
  await dark.screenshot({ path: path.join(shots, "editor-dark.png") });
  await dark.click(".bullet.ai .note", { button: "right" });
  const darkMenu = (await sent(dark, "contextMenu")).pop();
  check(darkMenu && darkMenu.items.some((i) => i.label === "Delete Thought"), "a thought's context menu", darkMenu);
  await dark.evaluate(() => { window.QuillstoneApp.contextMenuChoose("deleteThought"); window.QuillstoneApp.contextMenuClosed(); });
  check(await dark.evaluate(() => window.QuillstoneMac.press("Archive")) === true, "press Archive");
  await settle(dark);
  const darkRec = (await lastWrite(dark)).batch.docs[0];
  check(darkRec.id === "welcome" && darkRec.rev === 5 && darkRec.doc.archived === true && darkRec.doc.nodes[0].children.map((b) => b.id).join() === "b1",
    "thought removed, document archived, rev 4 → 5", darkRec);
  await dark.close();

  // ---- a workspace from a newer version
  const newer = await page({ kind: "newer", schema: 4 });
  await newer.waitForFunction(() => window.__sent.some((m) => m.op === "loaded"));
  check(await newer.isVisible("text=saved by a newer version"), "newer workspace message");
  check(await newer.evaluate(() => window.QuillstoneApp.run("newDoc")) === false, "no new documents in a newer workspace");
  await newer.close();

  // ---- a plain browser: memory only
  const plain = await page(null, { host: false });
  await plain.waitForSelector("text=kept in memory only");
  check(true, "memory-only notice");
  await plain.evaluate(() => window.QuillstoneApp.run("newDoc"));
  await plain.keyboard.type("Scratch");
  check(await plain.isVisible(".doc-item:has-text('Scratch')"), "memory-only documents work");
  await plain.close();
  // ---- the real library
  const cli = path.join(repo, "build/quillstone-cli");
  if (existsSync(cli)) {
    const root = mkdtempSync(path.join(os.tmpdir(), "qs-page-root-")), support = mkdtempSync(path.join(os.tmpdir(), "qs-page-support-"));
    const real = cliHost(cli, root, support);
    const a = await page(null, { real });
    await a.waitForFunction(() => window.__sent.some((m) => m.op === "loaded"));
    await a.evaluate(() => window.QuillstoneApp.run("newDoc"));
    await a.keyboard.type("Harbour: 2025/26");
    await a.keyboard.press("Enter");
    await a.keyboard.type("Boats in the morning.");
    await a.keyboard.press("Tab");
    await a.keyboard.type("count them");
    await settle(a);
    const pkg = path.join(root, "Harbour – 2025-26.quillstone");
    check(existsSync(pkg), "the library wrote the package", readdirSync(root));
    if (existsSync(pkg)) {
      const md = readFileSync(path.join(pkg, "preview.md"), "utf8");
      check(md.includes("Boats in the morning.") && md.includes("- count them"), "its preview.md", md);
    }
    await a.evaluate(() => window.QuillstoneApp.run("archive"));
    await settle(a);
    check(existsSync(path.join(root, "Archive", "Harbour – 2025-26.quillstone")), "archived into the Archive folder", readdirSync(root));
    await a.close();
    const b = await page(null, { real });
    await b.waitForFunction(() => window.__sent.some((m) => m.op === "loaded"));
    check(await b.isVisible("text=Archive (1)"), "a new window reads it back from the folder");
    await b.close();
    real.close();
  } else console.log("skip the real library round: no", cli);
} finally {
  await browser.close();
  server.child.kill();
}

console.log(failures ? `${failures} check(s) failed` : "all checks passed", "— screenshots in", shots);
process.exit(failures ? 1 : 0);
