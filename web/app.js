// The window around the page: the documents list, the library, banners, and the entry points
// the native program calls (QuillstoneApp, QuillstoneMac).
(() => {
  "use strict";

  const $ = (sel, root = document) => root.querySelector(sel);
  const el = (tag, props = {}, ...children) => {
    const node = Object.assign(document.createElement(tag), props);
    for (const c of children) node.append(c);
    return node;
  };

  let current = null;        // id of the document shown
  let started = false;
  const early = [];          // records delivered before the workspace was open
  let menuContext = null;    // what a right-click was on, until the native menu answers
  let lastState = "", lastDoc = "";
  let logged = 0;

  // ---- host messages that need no answer

  function log(text) {
    if (logged++ < 50) Store.post({ op: "log", text: String(text).slice(0, 2000) });
  }

  function sendChrome() {
    const bg = getComputedStyle(document.body).backgroundColor;
    const dark = matchMedia("(prefers-color-scheme: dark)").matches;
    Store.post({ op: "chrome", bg, tone: dark ? "dark" : "light", full: false });
  }

  function sendDoc() {
    const doc = current && Store.get(current);
    const message = doc ? { op: "doc", id: doc.id, title: Model.displayTitle(doc) } : { op: "doc", title: "" };
    const key = JSON.stringify(message);
    if (key !== lastDoc) { lastDoc = key; Store.post(message); }
  }

  function sendState() {
    const doc = current && Store.get(current);
    const state = {
      op: "state", hasDoc: !!doc, archived: !!(doc && doc.archived), canUndo: false, canRedo: false,
      mode: "page", drawer: !document.body.classList.contains("no-drawer"), library: !!$(".library"),
      hasSelection: Editor.hasSelection(), docCount: Store.ids().length,
    };
    const key = JSON.stringify(state);
    if (key !== lastState) { lastState = key; Store.post(state); }
  }

  // ---- banner and status

  function banner(text, action, kind = "") {
    const box = $(".banner");
    box.dataset.kind = kind;
    $(".banner-text").textContent = text;
    const button = $(".banner-action");
    button.hidden = !action;
    button.textContent = action ? action.label : "";
    button.onclick = action ? () => { box.hidden = true; action.run(); } : null;
    box.hidden = false;
  }

  function status(text) {
    $(".status").textContent = text;
  }

  // ---- documents list

  function when(ms) {
    const d = new Date(ms);
    if (!ms || isNaN(d)) return "";
    const today = new Date().toDateString() === d.toDateString();
    return today ? d.toLocaleTimeString([], { hour: "numeric", minute: "2-digit" })
                 : d.toLocaleDateString([], { month: "short", day: "numeric" });
  }

  function docItem(doc) {
    const item = el("button", { type: "button", className: "doc-item" },
      el("span", { className: "doc-title", textContent: Model.displayTitle(doc) }),
      el("span", { className: "doc-when", textContent: when(doc.updated) }));
    item.dataset.id = doc.id;
    if (doc.id === current) item.setAttribute("aria-current", "page");
    item.addEventListener("click", () => open(doc.id));
    return item;
  }

  function matches(doc, query) {
    if (!query) return true;
    const text = (doc.title || "") + "\n" + doc.nodes.map(Model.plain).join("\n");
    return text.toLowerCase().includes(query);
  }

  function renderList() {
    const query = $(".filter").value.trim().toLowerCase();
    const docs = Store.all().filter((d) => typeof d.id === "string" && !d.id.startsWith("_"));
    const live = docs.filter((d) => !d.archived), archived = docs.filter((d) => d.archived);
    $(".doc-list").replaceChildren(...live.filter((d) => matches(d, query)).map(docItem));
    if (!live.length) $(".doc-list").append(el("p", { className: "quiet", textContent: "No documents yet." }));
    $(".archive-list").replaceChildren(...archived.filter((d) => matches(d, query)).map(docItem));
    const toggle = $(".archive-toggle");
    toggle.textContent = archived.length ? `Archive (${archived.length})` : "Archive";
    if (!archived.length && !$(".archive-list").hidden) setArchiveOpen(false);
  }

  function setArchiveOpen(open) {
    $(".archive-list").hidden = !open;
    $(".archive-toggle").setAttribute("aria-expanded", String(open));
  }

  // ---- showing a document

  function open(id, { focus = false } = {}) {
    const doc = id && Store.get(id);
    current = doc ? id : null;
    closeLibrary();
    Editor.show(doc || null);
    document.body.classList.toggle("is-archived", !!(doc && doc.archived));
    $(".archive-button").textContent = doc && doc.archived ? "Unarchive" : "Archive";
    if (doc && doc.archived) setArchiveOpen(true);
    Store.setUI({ current });
    renderList();
    sendDoc();
    sendState();
    if (focus) Editor.focusStart();
  }

  function visibleIds() {
    return Store.all().filter((d) => !d.archived && !d.id.startsWith("_")).map((d) => d.id);
  }

  function newDoc() {
    if (Store.readOnly) return false;
    const doc = Model.newDoc();
    Store.add(doc);
    open(doc.id);
    Editor.focusTitle();
    return true;
  }

  function duplicateDoc() {
    const doc = current && Store.get(current);
    if (!doc || Store.readOnly) return false;
    const copy = Model.clone(doc);
    Object.assign(copy, { id: Model.uid("d-"), title: Model.displayTitle(doc) + " copy", created: Date.now(), archived: false });
    for (const node of copy.nodes) node.id = "";
    Store.add(copy);
    open(copy.id);
    return true;
  }

  function archive(id = current) {
    const doc = id && Store.get(id);
    if (!doc || Store.readOnly) return false;
    doc.archived = !doc.archived;
    Store.changed(id);
    if (id === current) open(id); else renderList();
    return true;
  }

  // Deleting moves the package to the Trash; the banner offers to bring it back.
  function remove(id = current) {
    const doc = id && Store.get(id);
    if (!doc || Store.readOnly) return false;
    const ids = visibleIds();
    const next = ids[ids.indexOf(id) + 1] || ids[ids.indexOf(id) - 1] || null;
    const kept = Model.clone(doc);
    Store.remove(id);
    if (id === current) open(next); else renderList();
    banner(`Deleted “${Model.displayTitle(kept)}”.`, { label: "Undo", run: () => { Store.add(kept); open(kept.id); } });
    return true;
  }

  function step(delta) {
    const ids = visibleIds();
    if (!ids.length) return false;
    const i = ids.indexOf(current);
    open(ids[(i + delta + ids.length) % ids.length]);
    return true;
  }

  // delta 0 resets, null applies the saved size.
  function textSize(delta) {
    const size = delta === 0 ? 19 : Math.min(30, Math.max(14, (Store.ui.textSize || 19) + (delta || 0)));
    Store.setUI({ textSize: size });
    document.documentElement.style.setProperty("--text-size", size + "px");
    return true;
  }

  // ---- the library: every document at a glance

  function closeLibrary() {
    const lib = $(".library");
    if (lib) lib.remove();
    document.body.classList.remove("show-library");
  }

  function showLibrary(fresh = new Set()) {
    closeLibrary();
    const docs = Store.all().filter((d) => !d.id.startsWith("_"));
    const total = docs.reduce((n, d) => n + Model.stats(d).words, 0);
    const row = (doc) => {
      const s = Model.stats(doc);
      const tr = el("tr", { className: fresh.has(doc.id) ? "fresh" : "" },
        el("td", {}, el("button", { type: "button", className: "link", textContent: Model.displayTitle(doc), onclick: () => open(doc.id) })),
        el("td", { textContent: s.paragraphs }), el("td", { textContent: s.words }),
        el("td", { textContent: s.notes }), el("td", { textContent: s.thoughts }),
        el("td", { textContent: doc.archived ? "Archived" : when(doc.updated) }));
      return tr;
    };
    const head = el("tr", {}, ...["Document", "Paragraphs", "Words", "Notes", "Thoughts", "Updated"].map((t) => el("th", { textContent: t })));
    const lib = el("section", { className: "library" },
      el("header", {},
        el("h1", { textContent: "Library" }),
        el("p", { className: "quiet", textContent: `${docs.length} document${docs.length === 1 ? "" : "s"} · ${total} words` }),
        el("span", { className: "spacer" }),
        el("button", { type: "button", textContent: "Import…", onclick: () => $('input[type=file]').click() }),
        el("button", { type: "button", textContent: "Close", onclick: () => open(current) })),
      el("table", {}, el("thead", {}, head), el("tbody", {}, ...docs.filter((d) => !d.archived).map(row), ...docs.filter((d) => d.archived).map(row))));
    lib.setAttribute("aria-label", "Library");
    $(".scroll").append(lib);
    document.body.classList.add("show-library");
    sendState();
  }

  // ---- import: Markdown and text become documents; project files bring their documents along

  const TEXT_TYPES = ["md", "markdown", "mdown", "mkd", "mkdn", "txt", "text"];

  function docsFromJSON(value, name) {
    const list = Array.isArray(value) ? value : Array.isArray(value.docs) ? value.docs : [value.doc || value];
    return list.map((d) => (d && d.doc) || d).filter((d) => d && Array.isArray(d.nodes)).map((d) => {
      const doc = Model.clone(d);
      Object.assign(doc, { id: Model.uid("d-"), title: typeof doc.title === "string" ? doc.title : name.replace(/\.[^.]+$/, ""), archived: false });
      doc.created = doc.created || Date.now();
      return doc;
    });
  }

  async function importFiles(files) {
    const made = [], refused = [];
    for (const file of files) {
      const ext = file.name.includes(".") ? file.name.split(".").pop().toLowerCase() : "";
      try {
        if (TEXT_TYPES.includes(ext) || (!ext && file.type.startsWith("text/"))) made.push(Model.fromMarkdown(await file.text(), file.name));
        else if (ext === "json") {
          const docs = docsFromJSON(JSON.parse(await file.text()), file.name);
          if (!docs.length) throw new Error("no documents");
          made.push(...docs);
        } else refused.push(file.name);
      } catch (e) {
        refused.push(file.name);
      }
    }
    if (Store.readOnly) return;
    for (const doc of [...made].reverse()) Store.add(doc);
    if (refused.length) banner(`Couldn't import ${refused.join(", ")}. Markdown, text and project files can be imported here.`);
    if (made.length === 1 && !$(".library")) open(made[0].id);
    else if (made.length) { renderList(); showLibrary(new Set(made.map((d) => d.id))); }
  }

  // ---- commands from the menus and buttons

  function run(command, arg) {
    switch (command) {
      case "newDoc": case "newDocument": return newDoc();
      case "duplicateDoc": return duplicateDoc();
      case "rename": if (!current) return false; if ($(".library")) open(current); Editor.focusTitle(); return true;
      case "archive": return archive(typeof arg === "string" ? arg : current);
      case "delete": case "deleteDoc": return remove(typeof arg === "string" ? arg : current);
      case "bold": case "italic": case "highlight": Editor.toggleMark(command); return true;
      case "addNote": return Editor.addNote();
      case "deleteThought": return Editor.deleteThought();
      case "library": if ($(".library")) open(current); else showLibrary(); return true;
      case "drawer": document.body.classList.toggle("no-drawer"); sendState(); return true;
      case "searchAll": document.body.classList.remove("no-drawer"); $(".filter").focus(); $(".filter").select(); return true;
      case "nextDoc": return step(1);
      case "prevDoc": return step(-1);
      case "textLarger": return textSize(1);
      case "textSmaller": return textSize(-1);
      case "textReset": return textSize(0);
      case "preview": if (Store.connected) Store.post({ op: "print" }); else print(); return true;
      default: return false;
    }
  }

  // ---- the page's own context menu items, shown by the native menu

  function onContextMenu(e) {
    const item = e.target.closest && e.target.closest(".doc-item");
    const editable = e.target.closest && e.target.closest(".para, .note");
    let items = null;
    if (item) {
      const doc = Store.get(item.dataset.id);
      if (!doc) return;
      menuContext = { doc: doc.id };
      items = [
        { label: "Open", id: "open" },
        { label: doc.archived ? "Unarchive" : "Archive", id: "archive" },
        { kind: "separator" },
        { label: "Delete", id: "delete" },
      ];
    } else if (editable && current) {
      menuContext = { caret: Editor.caret(), node: editable.dataset.node, target: editable.dataset.bullet || editable.dataset.node };
      const selected = Editor.hasSelection();
      const ai = editable.classList.contains("note") && editable.contentEditable !== "true";
      items = [
        { label: "Bold", id: "bold", enabled: selected, hint: "⌃B" },
        { label: "Italic", id: "italic", enabled: selected, hint: "⌃I" },
        { label: "Highlight", id: "highlight", enabled: selected, hint: "⌃⇧H" },
        { kind: "separator" },
        { label: "Add Note", id: "addNote" },
        { label: editable.dataset.bullet ? (ai ? "Delete Thought" : "Delete Note") : "Delete Paragraph", id: "deleteThought" },
      ];
    }
    if (items) Store.post({ op: "contextMenu", items });
  }

  function contextMenuChoose(value) {
    const context = menuContext;
    menuContext = null;
    if (!context || typeof value !== "string") return;
    if (context.doc) {
      if (value === "open") open(context.doc);
      else if (value === "archive") archive(context.doc);
      else if (value === "delete") remove(context.doc);
      return;
    }
    if (value === "deleteThought") Editor.deleteThought(context.target);
    else if (value === "addNote") Editor.addNote(context.node);
    else { Editor.restore(context.caret); run(value); }
  }

  // ---- Claude replies: bullets for a thought that asked (the request id is kept on the bullet)

  function claudeReply(id, bullets, from, options = {}) {
    for (const doc of Store.all()) {
      let asked = null;
      for (const node of doc.nodes) {
        Model.eachBullet(node.children, (b) => { if (b.request === id) { asked = b; return false; } });
        if (asked) break;
      }
      if (!asked) continue;
      const thought = (text) => ({ ...Model.newBullet(String(text)), ai: from || "Claude" });
      delete asked.request;
      asked.children = [...(asked.children || []), ...(Array.isArray(bullets) ? bullets : []).map(thought)];
      for (const p of (options && options.placements) || []) {
        const node = doc.nodes.find((n) => n.id === p.paragraphId);
        if (node) node.children = [...(node.children || []), ...p.bullets.map(thought)];
      }
      Store.changed(doc.id);
      if (doc.id === current) Editor.show(doc, { keepCaret: true });
      return true;
    }
    return false;
  }

  // ---- entry points for the native side

  window.QuillstoneApp = {
    run: (command, arg) => { try { return run(command, arg) === true; } catch (e) { log("run " + command + ": " + e); return false; } },
    applyExternal(records) {
      if (!started) { early.push(records); return; }
      Store.applyExternal(records);
    },
    claudeReply,
    contextMenuChoose,
    contextMenuClosed() { menuContext = null; },
  };

  window.QuillstoneMac = {
    settle: () => Store.settle(),
    press(label) {
      const controls = document.querySelectorAll("button, [role=button], a[href], input[type=button], input[type=submit], summary");
      for (const c of controls) {
        const name = (c.getAttribute("aria-label") || c.textContent).trim(); // the accessible name
        if (name === label && c.getClientRects().length && !c.disabled) {
          c.click();
          return true;
        }
      }
      return false;
    },
    key(d) {
      if (!d || typeof d !== "object") return;
      const target = document.activeElement || document.body;
      target.dispatchEvent(new KeyboardEvent("keydown", {
        key: d.key || "", code: d.code || "", bubbles: true, cancelable: true,
        shiftKey: !!(d.shiftKey ?? d.shift), altKey: !!(d.altKey ?? d.alt),
        ctrlKey: !!(d.ctrlKey ?? d.ctrl), metaKey: !!(d.metaKey ?? d.meta),
      }));
    },
  };

  window.addEventListener("error", (e) => log(`${e.message} (${e.filename}:${e.lineno})`));
  window.addEventListener("unhandledrejection", (e) => log("unhandled: " + (e.reason && e.reason.stack || e.reason)));

  // ---- wiring

  function wire() {
    Editor.init({
      onChange: (doc) => { Store.changed(doc.id); sendState(); },
      onTitle: (doc) => {
        sendDoc();
        const title = document.querySelector(`.doc-item[data-id="${CSS.escape(doc.id)}"] .doc-title`);
        if (title) title.textContent = Model.displayTitle(doc);
      },
    });
    document.addEventListener("click", (e) => {
      const button = e.target.closest("button[data-action]");
      if (!button) return;
      const action = button.dataset.action;
      if (["bold", "italic", "highlight", "addNote"].includes(action)) e.preventDefault();
      run(action);
    });
    // Formatting buttons must not take the caret away from the text.
    document.querySelectorAll(".toolbar .tools button").forEach((b) => b.addEventListener("mousedown", (e) => e.preventDefault()));
    $(".archive-toggle").addEventListener("click", () => setArchiveOpen($(".archive-list").hidden));
    $(".filter").addEventListener("input", renderList);
    $(".banner-close").addEventListener("click", () => { $(".banner").hidden = true; });
    $('input[type=file][aria-label="Files to import"]').addEventListener("change", (e) => {
      const files = [...e.target.files];
      e.target.value = "";
      importFiles(files).catch((err) => log("import: " + err));
    });
    document.addEventListener("contextmenu", onContextMenu);
    document.addEventListener("selectionchange", sendState);
    // The window has no title bar: its top strip moves and zooms the window.
    for (const bar of document.querySelectorAll(".drag")) {
      bar.addEventListener("mousedown", (e) => { if (e.target === bar && e.button === 0) Store.post({ op: "drag" }); });
      bar.addEventListener("dblclick", (e) => { if (e.target === bar) Store.post({ op: "zoom" }); });
    }
    matchMedia("(prefers-color-scheme: dark)").addEventListener("change", sendChrome);

    Store.on("saving", () => status("Saving…"));
    Store.on("saved", () => { status("Saved"); if ($(".banner").dataset.kind === "write") $(".banner").hidden = true; });
    Store.on("failed", (message) => { status("Not saved"); banner(message, null, "write"); });
    Store.on("external", (ids) => {
      if (current && !Store.get(current)) open(visibleIds()[0] || null);
      else if (current && ids.has(current)) Editor.show(Store.get(current), { keepCaret: true });
      renderList();
      sendDoc();
      if ($(".library")) showLibrary();
    });
  }

  function showNotices(notices) {
    const box = $(".notices");
    const summaries = {
      quarantined: (count) => `${count} file${count === 1 ? "" : "s"} couldn't be used`,
      versions: (count) => count === 1 ? "1 other version was kept as a document of its own" : `${count} other versions were kept as documents of their own`,
    };
    for (const n of notices) {
      if (!n || !summaries[n.kind] || !Array.isArray(n.files)) continue;
      const count = n.count || n.files.length;
      const list = el("ul", {}, ...n.files.map((f) => el("li", {}, el("strong", { textContent: f.name }), " — " + (f.reason || ""))));
      box.append(el("details", { className: "notice" }, el("summary", { textContent: summaries[n.kind](count) }), list));
    }
  }

  async function start() {
    wire();
    sendChrome();
    if (typeof window.__QUILLSTONE_FOLDER__ === "string") $(".where").textContent = window.__QUILLSTONE_FOLDER__;
    let result;
    try {
      result = await Store.open();
    } catch (e) {
      result = { kind: "error", notices: [] };
      banner("The writing folder couldn't be opened: " + ((e && e.message) || e));
    }
    if (result.kind === "memory") {
      $(".where").textContent = "Not connected to Quillstone: documents are kept in memory only.";
      status("In memory");
    }
    if (result.kind === "newer") {
      document.body.classList.add("read-only");
      $(".empty-text").textContent = "This writing folder was saved by a newer version of Quillstone. Update Quillstone to open it.";
    }
    showNotices(result.notices || []);
    if (Number.isFinite(Store.ui.textSize)) textSize(null);
    const focus = window.__QUILLSTONE_FOCUS__;
    const ids = visibleIds();
    const first = [focus, Store.ui.current].find((id) => typeof id === "string" && Store.get(id)) || ids[0] || null;
    started = true;
    for (const records of early.splice(0)) Store.applyExternal(records);
    open(first, { focus: true });
    Store.post({ op: "loaded" });
  }

  start().catch((e) => log("start: " + (e && e.stack || e)));
})();
