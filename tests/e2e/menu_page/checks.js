// The page of the menu and writing folder checks: it describes its context menus, reports what the
// native side tells it, and says when it (re)loads.
(function () {
  window.QuillstoneApp = {
    contextMenuChoose: (id) => report("CHOSE " + JSON.stringify(id)),
    contextMenuClosed: () => report("CLOSED"),
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
  let next = 0;
  document.addEventListener("contextmenu", () => {
    const menu = menus[Math.min(next, menus.length - 1)];
    report("MENU " + next++);
    if (menu !== "none") post({ op: "contextMenu", items: menu });
  });
  // The title strip moves the window, as the editor's bars do.
  document.querySelector(".bar").addEventListener("mousedown", (e) => e.button === 0 && post({ op: "drag" }));

  (async () => {
    const workspace = decode(await post({ op: "open" }));
    const ids = ((workspace.state && workspace.state.docs) || []).map((d) => d.id).sort();
    // A document to take along when the writing folder moves.
    if (ids.length === 0) await write(record({ id: "e2e-moved", title: "Taken along", nodes: [] }));
    await post({ op: "loaded" });
    report("LOADED " + (window.__QUILLSTONE_FOLDER__ || "") + " " + JSON.stringify(ids));
  })();
})();
