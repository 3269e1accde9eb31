// The page itself: the title, one editable block per paragraph, and the notes and thoughts
// beneath each paragraph. The model is the source of truth; typing is read back from the DOM,
// structural edits (split, join, marks, notes) change the model and draw the page again.
const Editor = (() => {
  "use strict";

  const $ = (sel, root = document) => root.querySelector(sel);
  let doc = null;
  let onChange = () => {};
  let titleEl, bodyEl;

  const TAGS = { bold: "B", italic: "I", highlight: "MARK" };
  const FROM_TAG = { B: "bold", STRONG: "bold", I: "italic", EM: "italic", MARK: "highlight" };

  // ---- runs <-> DOM

  function fillRuns(el, runs) {
    el.textContent = "";
    for (const run of runs) {
      let node = document.createTextNode(run.text);
      const marks = [...run.marks].sort((a, b) => Model.MARKS.indexOf(a.type) - Model.MARKS.indexOf(b.type));
      for (const mark of marks) {
        const simple = TAGS[mark.type] && Object.keys(mark).length === 1;
        const wrap = document.createElement(TAGS[mark.type] || "span");
        if (!simple) { wrap.dataset.mark = JSON.stringify(mark); wrap.className = "mark-" + mark.type; }
        wrap.appendChild(node);
        node = wrap;
      }
      el.appendChild(node);
    }
  }

  function readRuns(el) {
    const runs = [];
    const walk = (node, marks) => {
      for (const child of node.childNodes) {
        if (child.nodeType === Node.TEXT_NODE) runs.push({ text: child.data, marks });
        else if (child.nodeType === Node.ELEMENT_NODE) {
          if (child.tagName === "BR") { if (child !== el.lastChild) runs.push({ text: "\n", marks }); continue; }
          let mark = null;
          if (child.dataset.mark) { try { mark = JSON.parse(child.dataset.mark); } catch (e) { mark = null; } }
          else if (FROM_TAG[child.tagName]) mark = { type: FROM_TAG[child.tagName] };
          walk(child, mark && !marks.some((m) => m.type === mark.type) ? [...marks, mark] : marks);
        }
      }
    };
    walk(el, []);
    return Model.normalize(runs);
  }

  // Notes without formatting stay plain `text`; everything else keeps `content` runs.
  function storeRuns(item, runs, isBullet) {
    if (isBullet && !Array.isArray(item.content) && runs.every((r) => r.marks.length === 0)) {
      item.text = runs.map((r) => r.text).join("");
    } else {
      item.content = runs;
      delete item.text;
    }
  }

  // ---- caret as character offsets inside one editable

  function selectionIn(el) {
    const sel = getSelection();
    if (!sel.rangeCount || !el.contains(sel.anchorNode)) return null;
    const range = sel.getRangeAt(0);
    const at = (node, offset) => {
      const r = document.createRange();
      r.selectNodeContents(el);
      r.setEnd(node, offset);
      return r.toString().length;
    };
    return { start: at(range.startContainer, range.startOffset), end: at(range.endContainer, range.endOffset) };
  }

  function place(el, start, end = start) {
    el.focus({ preventScroll: false });
    const walker = document.createTreeWalker(el, NodeFilter.SHOW_TEXT);
    const point = (offset) => {
      let pos = 0, node;
      walker.currentNode = el;
      while ((node = walker.nextNode())) {
        if (offset <= pos + node.data.length) return [node, offset - pos];
        pos += node.data.length;
      }
      return [el, el.childNodes.length];
    };
    const range = document.createRange();
    range.setStart(...point(start));
    range.setEnd(...point(end));
    const sel = getSelection();
    sel.removeAllRanges();
    sel.addRange(range);
  }

  const textLength = (el) => el.textContent.length;

  // ---- finding things

  const editables = () => [...bodyEl.querySelectorAll(".para, .note[contenteditable=true]")];
  const activeEditable = () => {
    const el = document.activeElement;
    return el && bodyEl.contains(el) && el.isContentEditable && (el.dataset.node || el.dataset.bullet) ? el : null;
  };
  const nodeById = (id) => doc.nodes.find((n) => n.id === id);

  // The model object behind an editable: {item, node, bullet?, list?}.
  function itemOf(el) {
    if (el.dataset.bullet) {
      const found = Model.findBullet(doc, el.dataset.bullet);
      return found && { item: found.bullet, node: found.node, bullet: found.bullet, list: found.list };
    }
    const node = nodeById(el.dataset.node);
    return node && { item: node, node };
  }

  const editableFor = (id) => bodyEl.querySelector(`[data-bullet="${CSS.escape(id)}"].note, .para[data-node="${CSS.escape(id)}"]`);

  // Where the writer is, so that the page can be drawn again and the caret put back.
  function caret() {
    const el = activeEditable();
    if (!el) return null;
    const sel = selectionIn(el) || { start: 0, end: 0 };
    return { id: el.dataset.bullet || el.dataset.node, ...sel };
  }

  function restore(where) {
    if (!where) return;
    const el = editableFor(where.id);
    if (el) place(el, Math.min(where.start, textLength(el)), Math.min(where.end, textLength(el)));
  }

  // ---- drawing

  function show(next, { keepCaret = false } = {}) {
    const where = keepCaret ? caret() : null;
    doc = next;
    document.body.classList.toggle("has-doc", !!doc);
    if (!doc) { bodyEl.textContent = ""; titleEl.value = ""; return; }
    if (!doc.nodes.length) doc.nodes.push(Model.newNode());
    if (document.activeElement !== titleEl || titleEl.value !== (doc.title || "")) titleEl.value = doc.title || "";
    fitTitle();
    bodyEl.textContent = "";
    for (const node of doc.nodes) bodyEl.appendChild(block(node));
    restore(where);
  }

  function block(node) {
    const section = document.createElement("section");
    section.className = "block";
    section.dataset.node = node.id;
    const src = typeof node.image === "string" ? node.image : node.image && typeof node.image.src === "string" ? node.image.src : null;
    if (src) {
      const img = document.createElement("img");
      img.src = src;
      img.alt = "";
      section.appendChild(img);
    }
    const para = document.createElement("div");
    para.className = "para" + (Number.isInteger(node.level) && node.level >= 1 ? " heading" : "") + (src ? " caption" : "");
    para.contentEditable = doc && !Store.readOnly ? "true" : "false";
    para.spellcheck = true;
    para.dataset.node = node.id;
    para.setAttribute("role", "textbox");
    para.setAttribute("aria-label", "Paragraph");
    fillRuns(para, Model.runsOf(node));
    section.appendChild(para);
    if (Array.isArray(node.children) && node.children.length) section.appendChild(bullets(node.children, node));
    const add = document.createElement("button");
    add.className = "add-note";
    add.type = "button";
    add.textContent = "+ note";
    add.title = "Add a note beneath this paragraph (Tab)";
    add.addEventListener("click", () => addNote(node.id));
    section.appendChild(add);
    return section;
  }

  function bullets(list, node) {
    const ul = document.createElement("ul");
    ul.className = "sub";
    for (const b of list) {
      if (!b || typeof b !== "object") continue;
      const li = document.createElement("li");
      const ai = Model.isAI(b);
      li.className = "bullet" + (ai ? " ai" : "");
      if (ai) {
        const tag = document.createElement("span");
        tag.className = "tag";
        tag.textContent = "AI";
        tag.title = typeof b.ai === "string" ? "Written by " + b.ai : "Written by the AI";
        li.appendChild(tag);
      }
      const note = document.createElement("div");
      note.className = "note" + (b.anchor === true ? " anchor" : "");
      note.dataset.bullet = b.id;
      note.dataset.node = node.id;
      note.contentEditable = ai || Store.readOnly ? "false" : "true";
      note.setAttribute("role", "textbox");
      note.setAttribute("aria-label", ai ? "Thought" : "Note");
      fillRuns(note, Model.runsOf(b));
      li.appendChild(note);
      if (Array.isArray(b.children) && b.children.length) li.appendChild(bullets(b.children, node));
      ul.appendChild(li);
    }
    return ul;
  }

  function fitTitle() {
    titleEl.style.height = "auto";
    titleEl.style.height = titleEl.scrollHeight + "px";
  }

  // ---- edits

  function changed() {
    onChange(doc);
  }

  function redraw(focusId, start, end = start) {
    show(doc);
    if (focusId) restore({ id: focusId, start, end });
    changed();
  }

  function split(el) {
    const sel = selectionIn(el);
    const { item, node, bullet, list } = itemOf(el);
    const runs = readRuns(el);
    const before = Model.slice(runs, 0, sel.start), after = Model.slice(runs, sel.end);
    if (bullet) {
      storeRuns(item, before, true);
      const next = Model.newBullet();
      storeRuns(next, after, true);
      list.splice(list.indexOf(bullet) + 1, 0, next);
      return redraw(next.id, 0);
    }
    const i = doc.nodes.indexOf(node);
    if (sel.end === 0 && runs.length) {
      // At the very start: an empty paragraph above, the paragraph keeps its id and its notes.
      doc.nodes.splice(i, 0, Model.newNode());
      return redraw(node.id, 0);
    }
    const next = Model.newNode(after);
    node.content = before;
    delete node.text;
    doc.nodes.splice(i + 1, 0, next);
    redraw(next.id, 0);
  }

  function joinWithPrevious(el) {
    const { node } = itemOf(el);
    const i = doc.nodes.indexOf(node);
    if (i <= 0) return false;
    const prev = doc.nodes[i - 1];
    if (prev.image) return false;
    const prevRuns = Model.runsOf(prev);
    const at = prevRuns.reduce((n, r) => n + r.text.length, 0);
    prev.content = Model.normalize([...prevRuns, ...readRuns(el)]);
    delete prev.text;
    if (Array.isArray(node.children) && node.children.length) prev.children = [...(prev.children || []), ...node.children];
    doc.nodes.splice(i, 1);
    redraw(prev.id, at);
    return true;
  }

  function removeBullet(el) {
    const { bullet, list, node } = itemOf(el);
    const all = editables();
    const prev = all[all.indexOf(el) - 1];
    list.splice(list.indexOf(bullet), 1);
    if (Array.isArray(node.children) && !node.children.length) delete node.children;
    const id = prev ? prev.dataset.bullet || prev.dataset.node : node.id;
    redraw(id, Infinity);
  }

  function toggleMark(type) {
    const el = activeEditable();
    if (!el || el.contentEditable !== "true") return false;
    const sel = selectionIn(el);
    if (!sel || sel.start === sel.end) return false;
    const { item, bullet } = itemOf(el);
    storeRuns(item, Model.toggleMark(readRuns(el), sel.start, sel.end, type), !!bullet);
    redraw(el.dataset.bullet || el.dataset.node, sel.start, sel.end);
    return true;
  }

  function addNote(nodeId) {
    if (!doc || Store.readOnly) return false;
    const el = activeEditable();
    const id = nodeId || (el && el.dataset.node) || (doc.nodes[doc.nodes.length - 1] || {}).id;
    const node = id && nodeById(id);
    if (!node) return false;
    const note = Model.newBullet();
    (node.children = Array.isArray(node.children) ? node.children : []).push(note);
    redraw(note.id, 0);
    return true;
  }

  // Removes a note or thought (the one named, or the one with the caret), or else a paragraph.
  function deleteThought(id) {
    if (!doc || Store.readOnly) return false;
    const el = id ? bodyEl.querySelector(`.note[data-bullet="${CSS.escape(id)}"], .para[data-node="${CSS.escape(id)}"]`) : activeEditable();
    if (!el) return false;
    if (el.dataset.bullet) { removeBullet(el); return true; }
    const node = nodeById(el.dataset.node);
    const i = doc.nodes.indexOf(node);
    doc.nodes.splice(i, 1);
    if (!doc.nodes.length) doc.nodes.push(Model.newNode());
    const target = doc.nodes[Math.max(0, i - 1)];
    redraw(target.id, Infinity);
    return true;
  }

  function moveBlock(el, delta) {
    const { node } = itemOf(el);
    const i = doc.nodes.indexOf(node), j = i + delta;
    if (j < 0 || j >= doc.nodes.length) return;
    const sel = selectionIn(el) || { start: 0, end: 0 };
    doc.nodes.splice(i, 1);
    doc.nodes.splice(j, 0, node);
    redraw(node.id, sel.start, sel.end);
  }

  // Is the caret on the first (up) or last (down) line of the editable?
  function atEdge(el, up) {
    const sel = getSelection();
    if (!sel.rangeCount || !sel.isCollapsed) return false;
    const { start } = selectionIn(el) || {};
    if (up && start === 0) return true;
    if (!up && start === textLength(el)) return true;
    const rect = sel.getRangeAt(0).getClientRects()[0];
    if (!rect) return false;
    const box = el.getBoundingClientRect();
    const line = parseFloat(getComputedStyle(el).lineHeight) || 24;
    return up ? rect.top - box.top < line * 0.8 : box.bottom - rect.bottom < line * 0.8;
  }

  function onKey(e) {
    const el = activeEditable();
    if (!el || !el.contains(e.target)) return;
    const mod = e.ctrlKey || e.metaKey;
    const key = e.key.length === 1 ? e.key.toLowerCase() : e.key;
    if (mod && !e.altKey) {
      const type = !e.shiftKey && key === "b" ? "bold" : !e.shiftKey && key === "i" ? "italic" : e.shiftKey && key === "h" ? "highlight" : null;
      if (type) { e.preventDefault(); toggleMark(type); }
      return;
    }
    if (e.isComposing || el.contentEditable !== "true") return;
    const sel = selectionIn(el) || { start: 0, end: 0 };
    const collapsed = sel.start === sel.end;
    const isNote = !!el.dataset.bullet;
    if (key === "Enter" && !e.altKey) { e.preventDefault(); split(el); }
    else if (key === "Backspace" && collapsed && sel.start === 0) {
      if (isNote && !textLength(el)) { e.preventDefault(); removeBullet(el); }
      else if (!isNote && joinWithPrevious(el)) e.preventDefault();
    } else if (key === "Delete" && collapsed && !isNote && sel.start === textLength(el)) {
      const next = doc.nodes[doc.nodes.indexOf(itemOf(el).node) + 1];
      const nextEl = next && editableFor(next.id);
      if (nextEl && !next.image) { e.preventDefault(); joinWithPrevious(nextEl); }
    } else if (key === "Tab") {
      e.preventDefault();
      if (!isNote && !e.shiftKey) addNote(el.dataset.node);
      else if (isNote && e.shiftKey) restore({ id: el.dataset.node, start: Infinity, end: Infinity });
    } else if (key === "Escape" && isNote) {
      restore({ id: el.dataset.node, start: Infinity, end: Infinity });
    } else if ((key === "ArrowUp" || key === "ArrowDown") && e.altKey && !isNote) {
      e.preventDefault();
      moveBlock(el, key === "ArrowUp" ? -1 : 1);
    } else if ((key === "ArrowUp" || key === "ArrowDown") && !e.shiftKey && atEdge(el, key === "ArrowUp")) {
      const all = editables();
      const target = all[all.indexOf(el) + (key === "ArrowUp" ? -1 : 1)];
      if (target) { e.preventDefault(); place(target, key === "ArrowUp" ? textLength(target) : 0); }
    }
  }

  function onInput(e) {
    const el = e.target;
    if (!el.isContentEditable || !doc) return;
    const found = itemOf(el);
    if (!found) return;
    storeRuns(found.item, readRuns(el), !!found.bullet);
    changed();
  }

  // Pasted text arrives plain; blank lines make new paragraphs.
  function onPaste(e) {
    const el = activeEditable();
    if (!el) return;
    e.preventDefault();
    const text = (e.clipboardData.getData("text/plain") || "").replace(/\r\n?/g, "\n");
    const blocks = text.split(/\n\s*\n/).map((b) => b.replace(/\n/g, " "));
    document.execCommand("insertText", false, blocks[0]);
    if (blocks.length === 1 || el.dataset.bullet) return;
    const { node } = itemOf(el);
    const sel = selectionIn(el);
    const runs = readRuns(el);
    node.content = Model.slice(runs, 0, sel.start);
    delete node.text;
    const rest = blocks.slice(1).map((b) => Model.newNode(b ? [{ text: b, marks: [] }] : []));
    const last = rest[rest.length - 1];
    last.content = Model.normalize([...last.content, ...Model.slice(runs, sel.start)]);
    doc.nodes.splice(doc.nodes.indexOf(node) + 1, 0, ...rest);
    redraw(last.id, blocks[blocks.length - 1].length);
  }

  function init(handlers) {
    onChange = handlers.onChange;
    titleEl = $(".title");
    bodyEl = $(".page-body");
    titleEl.addEventListener("input", () => {
      if (!doc) return;
      doc.title = titleEl.value.replace(/\n/g, " ");
      fitTitle();
      handlers.onTitle(doc);
      changed();
    });
    titleEl.addEventListener("keydown", (e) => {
      if (e.key === "Enter" || (e.key === "ArrowDown" && titleEl.selectionStart === titleEl.value.length)) {
        e.preventDefault();
        const first = editables()[0];
        if (first) place(first, 0);
      }
    });
    bodyEl.addEventListener("input", onInput);
    bodyEl.addEventListener("paste", onPaste);
    document.addEventListener("keydown", onKey);
    window.addEventListener("resize", fitTitle);
  }

  function focusStart() {
    if (!doc) return;
    const empty = !(doc.title || "").trim() && doc.nodes.length === 1 && !Model.plain(doc.nodes[0]);
    if (empty) titleEl.focus();
    else { const first = editables()[0]; if (first) place(first, 0); }
  }

  return {
    init, show, caret, restore, toggleMark, addNote, deleteThought, focusStart,
    focusTitle: () => { titleEl.focus(); titleEl.select(); },
    hasSelection: () => { const el = activeEditable(); const s = el && selectionIn(el); return !!s && s.start !== s.end; },
    get doc() { return doc; },
  };
})();
