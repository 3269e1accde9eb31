// A writer in one of two windows, for the soak: from a fixed seed it saves its own documents
// (each save a new title), deletes some, asks Claude about them and keeps restore points, until
// its time is up. It keeps what it knows of every document (from "open", its own saves and what
// the native side hands it) and reports that view when asked to settle. Every line goes to the
// log as "E2E <window> …" for the test to compare with the disk.
(function () {
  const post = (m) => window.webkit.messageHandlers.quillstoneHost.postMessage(m);
  const decode = (r) => (typeof r === "string" && r.charCodeAt(0) === 0x1e ? JSON.parse(r.slice(1)) : r);
  const config = window.SOAK || { seed: 1, seconds: 10 };
  const focus = window.__QUILLSTONE_FOCUS__ || "none";
  const me = focus === "b-home" ? "b" : "a";
  const report = (text) => post({ op: "log", text: "E2E " + me + " " + text });

  // mulberry32: small, and the same in every engine.
  let state = (config.seed * 2654435761 + (me === "a" ? 1 : 2)) >>> 0;
  const random = () => {
    state = (state + 0x6d2b79f5) >>> 0;
    let t = state;
    t = Math.imul(t ^ (t >>> 15), t | 1);
    t ^= t + Math.imul(t ^ (t >>> 7), t | 61);
    return ((t ^ (t >>> 14)) >>> 0) / 4294967296;
  };
  const below = (n) => Math.floor(random() * n);
  const pause = (ms) => new Promise((r) => setTimeout(r, ms));

  const view = new Map();  // id → title, or null once deleted
  const revs = new Map();  // id → the newest rev seen of a window's document
  let settling = false, asked = 0;
  // Revisions only grow, across reloads of the page too.
  let lastRev = 0;
  const nextRev = () => (lastRev = Math.max(lastRev + 1, Date.now() * 100));

  const learn = (record, how) => {
    if (!record || typeof record.id !== "string") return;  // meta and pretext
    const id = record.id;
    if (typeof record.rev === "number" && /^[ab]-\d$/.test(id)) {
      if (record.rev < (revs.get(id) || 0)) report("STALE " + id + " " + record.rev + " after " + revs.get(id) + " by " + how);
      revs.set(id, Math.max(record.rev, revs.get(id) || 0));
    }
    view.set(id, record.deleted ? null : (record.doc && record.doc.title) || "");
    if (id === "soak-end") report("GOT soak-end");
  };

  window.QuillstoneApp = {
    applyExternal: (records) => records.forEach((r) => learn(r, "external")),
    claudeReply: (id, bullets, from) => {
      // Requests whose last digit is even are taken, the others refused.
      const take = parseInt(id[id.length - 1], 16) % 2 === 0;
      report((take ? "TOOK " : "REFUSED ") + id + " " + JSON.stringify(bullets) + " " + from);
      return take;
    },
  };
  window.QuillstoneMac = {
    settle: async () => {
      settling = true;
      const shown = {};
      for (const [id, title] of view) if (title !== null) shown[id] = title;
      await report("VIEW " + JSON.stringify(shown));
    },
  };

  const write = async (record) => {
    const answer = decode(await post({ op: "write", batch: { docs: [record] } }));
    if (answer !== true) {
      await report("FAIL write " + record.id + ": " + JSON.stringify(answer));
      return false;
    }
    learn(record, "own write");
    return true;
  };

  const step = async () => {
    const roll = below(100);
    const id = me + "-" + below(6);
    if (roll < 70) {
      const rev = nextRev(), title = id.replace("-", "") + "w" + rev;
      const record = { id, rev, updated: Date.now(), deleted: false,
                       doc: { id, title, nodes: [{ id: "n1", text: title + " soak words" }] } };
      if (await write(record)) report("WROTE " + id + " " + title);
    } else if (roll < 80) {
      if (view.get(id)) {
        const now = Date.now();
        if (await write({ id, rev: nextRev(), updated: now, deleted: true, deletedAt: now })) report("DELETED " + id);
      }
    } else if (roll < 84) {
      const kept = decode(await post({ op: "snapshot", backup: { format: "quillstone/backup", from: me, at: Date.now() } }));
      report("SNAPSHOT " + kept);
    } else if (roll < 92 && window.QuillstoneHost && window.QuillstoneHost.claude) {
      asked += 1;
      const serial = (config.seed % 0xffff).toString(16).padStart(4, "0");
      const requestId = "r-" + (me === "a" ? "aaaaaaaa" : "bbbbbbbb") + "-" + serial + "-4000-8000-" +
                        (Date.now() % 1e8).toString(16).padStart(8, "0") + asked.toString(16).padStart(4, "0");
      const answer = await window.QuillstoneHost.claude.ask({
        requestId, doc: { id: focus === "none" ? "a-home" : focus, title: "Home " + me }, thought: { id: "t" + asked },
        thread: [{ id: "m1", who: "writer", text: "What now, " + asked + "?" }],
      });
      if (answer === true) report("ASKED " + requestId);
      else report("FAIL ask " + requestId + ": " + JSON.stringify(answer));
    }
    await pause(below(40));
  };

  (async () => {
    const workspace = decode(await post({ op: "open" }));
    for (const doc of (workspace.state && workspace.state.docs) || []) view.set(doc.id, doc.title);
    // Claude's replies for this window's requests come here: it shows its home document.
    await post({ op: "doc", id: me + "-home", title: "Home " + me });
    await post({ op: "loaded" });
    report("LOADED " + (window.__QUILLSTONE_FOLDER__ || "") + " " + view.size);
    const until = (config.start || Date.now()) + config.seconds * 1000;
    while (!settling && Date.now() < until) await step();
    report("STOPPED " + view.size);
  })();
})();
