// The documents in memory and their way to the native side: opening the workspace, batched
// writes with revisions, records written elsewhere. Without the native side (a plain browser)
// everything stays in memory.
const Store = (() => {
  "use strict";

  const WRITE_DELAY = 600;

  // The bridge script normally provides QuillstoneHost.send; talk to the handler directly if
  // only the handler is there, and to nobody in a plain browser.
  function makeSend() {
    const host = window.QuillstoneHost;
    if (host && typeof host.send === "function") return (m) => host.send(m);
    const handler = window.webkit?.messageHandlers?.quillstoneHost;
    if (!handler) return null;
    return (m) => Promise.resolve(handler.postMessage(m)).then((r) =>
      typeof r === "string" && r.charCodeAt(0) === 0x1e ? JSON.parse(r.slice(1)) : r);
  }
  const sendRaw = makeSend();
  const connected = !!sendRaw;

  const docs = new Map();   // id -> doc
  let order = [];           // ids, newest first
  const revs = new Map();   // id -> rev we hold
  const unsaved = new Set(); // ids whose rev is already raised for changes not yet stored
  const edits = new Map();  // id -> edit counter, to tell whether a doc changed while being written
  const dirty = new Set();
  const removals = new Map(); // id -> removal record waiting to be written
  let extraMeta = {};       // workspace and groups from the saved workspace, passed on untouched
  let ui = {};
  let orderChanged = false;
  let timer = null, inflight = null, again = false;
  let readOnly = false;
  const listeners = { saving: [], saved: [], failed: [], external: [] };

  const on = (event, fn) => listeners[event].push(fn);
  const emit = (event, arg) => listeners[event].forEach((fn) => fn(arg));

  function send(message) {
    if (!sendRaw) return Promise.resolve(null);
    try { return sendRaw(message); } catch (e) { return Promise.reject(e); }
  }

  // Fire-and-forget messages (doc, state, chrome, log) must never raise.
  function post(message) {
    send(message).catch(() => {});
  }

  // Loads the workspace. Answers {kind, notices, schema?} for the page to show.
  async function open() {
    if (!connected) return { kind: "memory", notices: [] };
    let reply;
    try {
      reply = await send({ op: "open" });
    } catch (error) {
      readOnly = true; // with nothing loaded, a write could only overwrite the saved workspace
      throw error;
    }
    if (!reply || reply.kind === "newer") {
      readOnly = true;
      return { kind: "newer", schema: reply && reply.schema };
    }
    const state = reply.state || {};
    for (const doc of Array.isArray(state.docs) ? state.docs : []) {
      if (!doc || typeof doc.id !== "string") continue;
      Model.ensureIds(doc);
      docs.set(doc.id, doc);
      order.push(doc.id);
      const rev = reply.revs && reply.revs[doc.id];
      revs.set(doc.id, Number.isInteger(rev) ? rev : 1);
    }
    if (state.workspace !== undefined) extraMeta.workspace = state.workspace;
    if (state.groups !== undefined) extraMeta.groups = state.groups;
    if (state.ui && typeof state.ui === "object") ui = state.ui;
    return { kind: "ready", notices: Array.isArray(reply.notices) ? reply.notices : [] };
  }

  const liveIds = () => order.filter((id) => docs.has(id));

  function changed(id) {
    const doc = docs.get(id);
    if (!doc || readOnly) return;
    doc.updated = Date.now();
    edits.set(id, (edits.get(id) || 0) + 1);
    if (!unsaved.has(id)) {
      revs.set(id, (revs.get(id) || 0) + 1);
      unsaved.add(id);
    }
    dirty.add(id);
    schedule();
  }

  function add(doc, { first = true } = {}) {
    Model.ensureIds(doc);
    docs.set(doc.id, doc);
    removals.delete(doc.id);
    order = order.filter((id) => id !== doc.id);
    if (first) order.unshift(doc.id); else order.push(doc.id);
    revs.set(doc.id, revs.get(doc.id) || 0);
    unsaved.delete(doc.id);
    orderChanged = true;
    changed(doc.id);
  }

  function remove(id) {
    if (!docs.has(id) || readOnly) return;
    const now = Date.now();
    const rev = (revs.get(id) || 0) + 1;
    revs.set(id, rev);
    removals.set(id, { id, rev, updated: now, deleted: true, deletedAt: now });
    docs.delete(id);
    dirty.delete(id);
    unsaved.delete(id);
    order = order.filter((x) => x !== id);
    orderChanged = true;
    schedule();
  }

  function setUI(values) {
    Object.assign(ui, values);
  }

  function schedule(delay = WRITE_DELAY) {
    clearTimeout(timer);
    timer = setTimeout(flush, delay);
  }

  const hasWork = () => dirty.size > 0 || removals.size > 0 || orderChanged;

  // Hands every pending change to the native side in one batch. Resolves true when stored.
  function flush() {
    clearTimeout(timer);
    timer = null;
    if (inflight) { again = true; return inflight; }
    if (!hasWork() || readOnly) return Promise.resolve(true);
    if (!connected) {
      dirty.clear(); removals.clear(); unsaved.clear(); orderChanged = false;
      return Promise.resolve(true);
    }
    const sent = new Map();
    const records = [];
    for (const id of dirty) {
      const doc = docs.get(id);
      if (!doc) continue;
      sent.set(id, edits.get(id));
      records.push({ id, rev: revs.get(id), updated: doc.updated, deleted: false, deletedAt: null, doc: Model.clone(doc) });
    }
    const gone = [...removals.values()];
    records.push(...gone);
    dirty.clear(); removals.clear(); orderChanged = false;
    const meta = { schema: 3, order: liveIds(), ui: { ...ui }, ...extraMeta };
    emit("saving");
    inflight = send({ op: "write", batch: { docs: records, meta } })
      .then((reply) => (reply === true ? null : (reply && reply.message) || "The changes couldn't be saved."),
            (error) => (error && error.message) || String(error))
      .then((problem) => {
        inflight = null;
        if (problem) {
          // Keep everything for the next write; the revisions stay as they are.
          for (const id of sent.keys()) if (docs.has(id)) dirty.add(id);
          for (const r of gone) if (!docs.has(r.id) && !removals.has(r.id)) removals.set(r.id, r);
          orderChanged = true;
          emit("failed", problem);
        } else {
          for (const [id, n] of sent) {
            if (edits.get(id) === n) unsaved.delete(id);
            else revs.set(id, revs.get(id) + 1); // edited while written: the next write needs a new rev
          }
          emit("saved");
        }
        if (again) { again = false; if (!problem) schedule(0); }
        return !problem;
      });
    return inflight;
  }

  // Everything typed so far is handed over; resolves when the last write has been answered.
  async function settle() {
    for (let round = 0; round < 4; round++) {
      if (inflight) await inflight;
      if (!hasWork() || readOnly || !connected) return;
      if (!(await flush())) return;
    }
  }

  // Records written by another window or changed in the folder. The newer rev wins, except that
  // a document with changes not yet stored here keeps them (and will overwrite the other copy).
  function applyExternal(records) {
    const touched = new Set();
    let reordered = false;
    for (const r of Array.isArray(records) ? records : []) {
      if (!r || typeof r !== "object") continue;
      if (typeof r.id !== "string") {
        if (Array.isArray(r.order)) reordered = adoptOrder(r.order) || reordered;
        continue;
      }
      const have = docs.has(r.id);
      const mine = revs.get(r.id) || 0;
      const rev = Number(r.rev) || 0;
      if (have && unsaved.has(r.id) && mine >= rev) continue;
      if (have && unsaved.has(r.id)) {
        revs.set(r.id, rev + 1);
        dirty.add(r.id);
        schedule();
        continue;
      }
      if (r.deleted === true) {
        if (!have) continue;
        docs.delete(r.id);
        order = order.filter((x) => x !== r.id);
        revs.set(r.id, Math.max(mine, rev));
        touched.add(r.id);
        continue;
      }
      if (!r.doc || typeof r.doc !== "object" || (have && rev <= mine)) continue;
      const doc = r.doc;
      doc.id = r.id;
      if (typeof doc.updated !== "number" && typeof r.updated === "number") doc.updated = r.updated;
      Model.ensureIds(doc);
      docs.set(r.id, doc);
      revs.set(r.id, rev);
      if (!order.includes(r.id)) order.unshift(r.id);
      removals.delete(r.id);
      touched.add(r.id);
    }
    if (touched.size || reordered) emit("external", touched);
  }

  // Another window's order: take it for the ids it names, leaving the others where they were.
  function adoptOrder(ids) {
    const known = ids.filter((id) => typeof id === "string" && docs.has(id));
    const rest = order.filter((id) => !known.includes(id));
    const next = [...known, ...rest];
    if (next.join("\n") === order.join("\n")) return false;
    order = next;
    return true;
  }

  return {
    connected, on, send, post, open, changed, add, remove, setUI, flush, settle, applyExternal,
    get: (id) => docs.get(id),
    ids: liveIds,
    all: () => liveIds().map((id) => docs.get(id)),
    get ui() { return ui; },
    get readOnly() { return readOnly; },
    get pending() { return hasWork() || !!inflight; },
  };
})();
