// The writer on the computer that runs the desktop program. It opens the library, saves its
// plan's edits (made while the computers are apart), reports every batch of records the app
// hands it, and when the plan's signal document arrives, adds a paragraph to every document it
// holds. Lines reach standard error as "Quillstone page: E2E …".
(function () {
  const post = (m) => window.webkit.messageHandlers.quillstoneHost.postMessage(m);
  const decode = (r) => (typeof r === "string" && r.charCodeAt(0) === 0x1e ? JSON.parse(r.slice(1)) : r);
  const report = (text) => post({ op: "log", text: "E2E " + text });
  const plan = window.SYNC_PLAN;
  const view = new Map();  // id → {rev, doc}, as the app last told it or it last saved
  let clock = plan.clock, signalled = false;

  const texts = (doc) => (doc && doc.nodes || []).filter((n) => typeof n.text === "string").map((n) => n.text);
  const describe = (id, entry) => ({ id, deleted: !entry, title: entry && entry.doc.title, texts: entry ? texts(entry.doc) : [] });
  const ordinary = () => [...view.keys()].filter((id) => !id.startsWith("_")).sort();

  const save = async (doc, rev) => {
    clock += 60000;
    doc = Object.assign({}, doc, { updated: clock });
    const record = { id: doc.id, rev, updated: clock, deleted: false, deletedAt: null, doc };
    const answer = decode(await post({ op: "write", batch: { docs: [record] } }));
    if (answer !== true) await report("FAIL write " + doc.id + ": " + JSON.stringify(answer));
    view.set(doc.id, { rev, doc });
  };
  const append = async (id, text, serial) => {
    const entry = view.get(id);
    const doc = JSON.parse(JSON.stringify(entry.doc));
    doc.nodes = (doc.nodes || []).concat([{ id: "w" + serial, text }]);
    await save(doc, entry.rev + 1);
  };
  const wrote = (label, ids) =>
    report(label + " " + JSON.stringify(Object.fromEntries(ids.map((id) => [id, texts(view.get(id).doc)]))));

  window.QuillstoneApp = {
    applyExternal: (records) => {
      for (const r of records) {
        if (!r || typeof r.id !== "string") continue;
        if (r.deleted) view.delete(r.id);
        else view.set(r.id, { rev: r.rev, doc: r.doc });
      }
      report("EXTERNAL " + JSON.stringify(records.filter((r) => r && typeof r.id === "string")
        .map((r) => describe(r.id, view.get(r.id)))));
      if (!signalled && view.has(plan.signal)) {
        signalled = true;
        (async () => {
          const ids = ordinary();
          for (const [i, id] of ids.entries()) await append(id, plan.later + " " + i, "later" + i);
          await wrote("WROTE-LATER", ids);
        })();
      }
    },
  };

  (async () => {
    const workspace = decode(await post({ op: "open" }));
    for (const doc of workspace.state.docs) view.set(doc.id, { rev: workspace.revs[doc.id] || 1, doc });
    await report("OPENED " + JSON.stringify(ordinary().map((id) => describe(id, view.get(id)))));
    await post({ op: "loaded" });
    let serial = 0;
    for (const [id, text] of Object.entries(plan.edits)) await append(id, text, "apart" + serial++);
    for (const doc of plan.created) await save(doc, 1);
    await wrote("WROTE", Object.keys(plan.edits).concat(plan.created.map((d) => d.id)));
  })();
})();
