// The writer on the computer that runs the desktop program. It opens the library, saves its plan's
// edits (made while the computers are apart), reports every batch of records the app hands it, and
// when the plan's signal document arrives, adds a paragraph to every document it holds.
(function () {
  const plan = window.SYNC_PLAN;
  const view = new Map();  // id → {rev, doc}, as the app last told it or it last saved
  let clock = plan.clock, signalled = false;

  const texts = (doc) => ((doc && doc.nodes) || []).filter((n) => typeof n.text === "string").map((n) => n.text);
  const describe = (id) => ({ id, deleted: !view.has(id), texts: view.has(id) ? texts(view.get(id).doc) : [] });
  const ordinary = () => [...view.keys()].filter((id) => !id.startsWith("_")).sort();
  const save = async (doc, rev) => {
    clock += 60000;
    doc = Object.assign({}, doc, { updated: clock });
    const answer = await write({ id: doc.id, rev, updated: clock, deleted: false, deletedAt: null, doc });
    if (answer !== true) await report("FAIL write " + doc.id + ": " + JSON.stringify(answer));
    view.set(doc.id, { rev, doc });
  };
  const append = async (id, text, serial) => {
    const { rev, doc } = view.get(id);
    await save(Object.assign({}, doc, { nodes: (doc.nodes || []).concat([{ id: "w" + serial, text }]) }), rev + 1);
  };
  const wrote = (label, ids) => report(label + " " + JSON.stringify(Object.fromEntries(ids.map((id) => [id, texts(view.get(id).doc)]))));

  window.QuillstoneApp = {
    applyExternal: (records) => {
      records = records.filter((r) => r && typeof r.id === "string");
      for (const r of records) r.deleted ? view.delete(r.id) : view.set(r.id, { rev: r.rev, doc: r.doc });
      report("EXTERNAL " + JSON.stringify(records.map((r) => describe(r.id))));
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
    await report("OPENED " + JSON.stringify(ordinary().map(describe)));
    await post({ op: "loaded" });
    let serial = 0;
    for (const [id, text] of Object.entries(plan.edits)) await append(id, text, "apart" + serial++);
    for (const doc of plan.created) await save(doc, 1);
    await wrote("WROTE", Object.keys(plan.edits).concat(plan.created.map((d) => d.id)));
  })();
})();
