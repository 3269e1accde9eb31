// A writer in one of two windows, for the soak: from a fixed seed it saves its own documents (each
// save a new title), deletes some, asks Claude about them and keeps restore points, until its time
// is up. It keeps what it knows of every document (from "open", its own saves and what the native
// side hands it) and reports that view when asked to settle. Every line goes to the log as
// "E2E <window> …" for the test to compare with the disk.
(function () {
  const config = window.SOAK || { seed: 1, seconds: 10 };
  const focus = window.__QUILLSTONE_FOCUS__ || "none";
  const me = focus === "b-home" ? "b" : "a";
  const say = (text) => report(me + " " + text);

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

  const view = new Map();  // id → title, or null once deleted
  const revs = new Map();  // id → the newest rev seen of a window's document
  let settling = false, asked = 0, lastRev = 0;
  const nextRev = () => (lastRev = Math.max(lastRev + 1, Date.now() * 100));  // grows across reloads too

  const learn = (r, how) => {
    if (!r || typeof r.id !== "string") return;  // meta and pretext
    if (typeof r.rev === "number" && /^[ab]-\d$/.test(r.id)) {
      if (r.rev < (revs.get(r.id) || 0)) say("STALE " + r.id + " " + r.rev + " after " + revs.get(r.id) + " by " + how);
      revs.set(r.id, Math.max(r.rev, revs.get(r.id) || 0));
    }
    view.set(r.id, r.deleted ? null : (r.doc && r.doc.title) || "");
    if (r.id === "soak-end") say("GOT soak-end");
  };
  window.QuillstoneApp = {
    applyExternal: (records) => records.forEach((r) => learn(r, "external")),
    claudeReply: (id, bullets, from) => {
      const take = parseInt(id[id.length - 1], 16) % 2 === 0;  // even last digits are taken, the others refused
      say((take ? "TOOK " : "REFUSED ") + id + " " + JSON.stringify(bullets) + " " + from);
      return take;
    },
  };
  window.QuillstoneMac = { settle: async () => {
    settling = true;
    await say("VIEW " + JSON.stringify(Object.fromEntries([...view].filter(([, title]) => title !== null))));
  } };

  const save = async (r) => {
    const answer = await write(r);
    if (answer !== true) await say("FAIL write " + r.id + ": " + JSON.stringify(answer));
    else learn(r, "own write");
    return answer === true;
  };
  const step = async () => {
    const roll = below(100), id = me + "-" + below(6);
    if (roll < 70) {
      const rev = nextRev(), title = id.replace("-", "") + "w" + rev;
      if (await save({ id, rev, updated: Date.now(), deleted: false,
                       doc: { id, title, nodes: [{ id: "n1", text: title + " soak words" }] } })) say("WROTE " + id + " " + title);
    } else if (roll < 80) {
      const now = Date.now();
      if (view.get(id) && await save({ id, rev: nextRev(), updated: now, deleted: true, deletedAt: now })) say("DELETED " + id);
    } else if (roll < 84) {
      say("SNAPSHOT " + decode(await post({ op: "snapshot", backup: { format: "quillstone/backup", from: me, at: Date.now() } })));
    } else if (roll < 92 && window.QuillstoneHost && window.QuillstoneHost.claude) {
      asked += 1;
      const serial = (config.seed % 0xffff).toString(16).padStart(4, "0");
      const requestId = "r-" + (me === "a" ? "aaaaaaaa" : "bbbbbbbb") + "-" + serial + "-4000-8000-" +
                        (Date.now() % 1e8).toString(16).padStart(8, "0") + asked.toString(16).padStart(4, "0");
      const answer = await window.QuillstoneHost.claude.ask({
        requestId, doc: { id: focus === "none" ? "a-home" : focus, title: "Home " + me }, thought: { id: "t" + asked },
        thread: [{ id: "m1", who: "writer", text: "What now, " + asked + "?" }],
      });
      say(answer === true ? "ASKED " + requestId : "FAIL ask " + requestId + ": " + JSON.stringify(answer));
    }
    await pause(below(40));
  };

  (async () => {
    const workspace = decode(await post({ op: "open" }));
    for (const doc of (workspace.state && workspace.state.docs) || []) view.set(doc.id, doc.title);
    // Claude's replies for this window's requests come here: it shows its home document.
    await post({ op: "doc", id: me + "-home", title: "Home " + me });
    await post({ op: "loaded" });
    say("LOADED " + (window.__QUILLSTONE_FOLDER__ || "") + " " + view.size);
    const until = (config.start || Date.now()) + config.seconds * 1000;
    while (!settling && Date.now() < until) await step();
    say("STOPPED " + view.size);
  })();
})();
