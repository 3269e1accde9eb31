// Reports what the menus do to the page, and moves to its next state each time the menu asks it
// for "settings".
(function () {
  const states = [
    { canUndo: false, mode: "page", library: false, hasSelection: false, aiOn: true },
    { canUndo: true, mode: "outline", library: true, libraryView: "cards", hasSelection: true,
      aiOn: true, depth: { upTo: 2 }, recent: [{ title: "Alpha" }, { title: "Beta" }] },
    { canUndo: "yes", mode: 7, library: "true", libraryView: ["cards"], hasSelection: [1],
      depth: "deep", recent: "none", huge: "x".repeat(200000) },
  ];
  let step = 0;
  const sendState = async () => {
    await post(Object.assign({ op: "state" }, states[step]));
    report("STATE " + step);
  };
  window.QuillstoneApp = {
    run(command, arg) {
      report("RUN " + command + " " + JSON.stringify(arg));
      if (command === "settings" && step + 1 < states.length) {
        step += 1;
        sendState();
      }
      return command !== "reader";  // AI for This Document falls back to the page's controls
    },
  };
  window.QuillstoneMac = {
    key(d) { report("KEY " + JSON.stringify(d)); },
    press(label) { report("PRESS " + label); return true; },
    settle: async () => true,
  };
  document.addEventListener("keydown", (e) => {
    if (["Control", "Shift", "Alt", "Meta", "Super", "OS"].includes(e.key)) return;
    report("KEYDOWN " + (e.ctrlKey ? "ctrl+" : "") + (e.altKey ? "alt+" : "") + (e.shiftKey ? "shift+" : "") + e.key.toLowerCase());
    e.preventDefault();
  });
  (async () => {
    await post({ op: "loaded" });
    await sendState();
    document.body.tabIndex = -1;
    document.body.focus();
    report("READY");
  })();
})();
