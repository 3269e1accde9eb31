// The page of the menu and writing folder checks: it describes its context menus, reports what
// the native side tells it, and says when it (re)loads. Lines reach standard error as
// "Quillstone page: E2E …".
(function () {
  const post = (message) => window.webkit.messageHandlers.quillstoneHost.postMessage(message);
  const report = (text) => post({ op: "log", text: "E2E " + text });
  const decode = (r) => (typeof r === "string" && r.charCodeAt(0) === 0x1e ? JSON.parse(r.slice(1)) : r);

  window.QuillstoneApp = {
    contextMenuChoose: (id) => report("CHOSE " + JSON.stringify(id)),
    contextMenuClosed: () => report("CLOSED"),
    applyExternal: (records) => report("EXTERNAL " + JSON.stringify(records.map((r) => r && r.id).sort())),
  };

  // Moving the writing folder lets every page settle first.
  window.QuillstoneMac = { settle: async () => { await report("SETTLED"); } };

  // Each right-click describes the next menu of this list; "none" sends no message at all.
  const deep = (n) => (n === 0 ? { label: "Bottom", id: "bottom" } : { label: "Level " + n, items: [deep(n - 1)] });
  const menus = [
    [{ label: "First_item", id: 7, hint: "\u2318\u21e7K" }, { kind: "separator" }, { kind: "separator" },
     { label: "Sub", items: [{ label: "Inner", id: "in" }] }, { label: "Off", id: "off", enabled: false },
     { label: "Ticked", id: [1, "two"], checked: true, hint: "\u2318K" }, { kind: "separator" }],
    "none",
    [{ label: "Only", id: "only" }],
    [...Array.from({ length: 10000 }, (_, i) => ({ label: "Item\u0007\n" + i + "x".repeat(i % 3 ? 0 : 300), id: i })),
     deep(100), { label: "", id: "empty" }],
  ];
  // The title strip moves the window, as the editor's bars do.
  document.querySelector(".bar").addEventListener("mousedown", (e) => {
    if (e.button === 0) post({ op: "drag" });
  });

  let next = 0;
  document.addEventListener("contextmenu", () => {
    const menu = menus[Math.min(next, menus.length - 1)];
    report("MENU " + next);
    next += 1;
    if (menu !== "none") post({ op: "contextMenu", items: menu });
  });

  (async () => {
    const workspace = decode(await post({ op: "open" }));
    const ids = (workspace.state && workspace.state.docs || []).map((d) => d.id).sort();
    if (ids.length === 0) {
      // A document to take along when the writing folder moves.
      const doc = { id: "e2e-moved", title: "Taken along", nodes: [] };
      await post({ op: "write", batch: { docs: [{ id: doc.id, rev: 1, updated: Date.now(), deleted: false, doc }] } });
    }
    await post({ op: "loaded" });
    report("LOADED " + (window.__QUILLSTONE_FOLDER__ || "") + " " + JSON.stringify(ids));
  })();
})();
