// The document tree: docs hold nodes (paragraphs), nodes hold formatted runs and a list of
// bullets beneath them (notes and AI thoughts). Pure functions only; no DOM here.
const Model = (() => {
  "use strict";

  const uid = (prefix) => {
    const bytes = crypto.getRandomValues(new Uint8Array(8));
    return prefix + Array.from(bytes, (b) => b.toString(36).padStart(2, "0")).join("").slice(0, 12);
  };

  const MARKS = ["bold", "italic", "highlight"];

  const newNode = (content = []) => ({ id: uid("n-"), content });
  const newBullet = (text = "") => ({ id: uid("b-"), text });

  function newDoc(title = "", nodes = null) {
    const now = Date.now();
    return { id: uid("d-"), title, created: now, updated: now, archived: false, nodes: nodes || [newNode()] };
  }

  const clone = (value) => JSON.parse(JSON.stringify(value));

  // A node's or bullet's text as runs, whichever way it is stored.
  function runsOf(item) {
    if (Array.isArray(item.content) && item.content.length) {
      return item.content
        .filter((r) => r && typeof r.text === "string")
        .map((r) => ({ text: r.text, marks: Array.isArray(r.marks) ? r.marks.filter((m) => m && m.type) : [] }));
    }
    return typeof item.text === "string" && item.text ? [{ text: item.text, marks: [] }] : [];
  }

  const plain = (item) => runsOf(item).map((r) => r.text).join("");
  const hasMark = (run, type) => run.marks.some((m) => m.type === type);
  const marksKey = (run) => JSON.stringify([...run.marks].sort((a, b) => (a.type < b.type ? -1 : 1)));

  // Drops empty runs and joins neighbours that carry the same marks.
  function normalize(runs) {
    const out = [];
    for (const r of runs) {
      if (!r.text) continue;
      const last = out[out.length - 1];
      if (last && marksKey(last) === marksKey(r)) last.text += r.text;
      else out.push({ text: r.text, marks: r.marks.map((m) => ({ ...m })) });
    }
    return out;
  }

  // The part of the runs between two character offsets.
  function slice(runs, start, end = Infinity) {
    const out = [];
    let pos = 0;
    for (const r of runs) {
      const a = Math.max(start, pos), b = Math.min(end, pos + r.text.length);
      if (b > a) out.push({ text: r.text.slice(a - pos, b - pos), marks: r.marks });
      pos += r.text.length;
    }
    return normalize(out);
  }

  // Adds the mark to every character in [start, end), or removes it when all of them have it.
  function toggleMark(runs, start, end, type) {
    const middle = slice(runs, start, end);
    const all = middle.length > 0 && middle.every((r) => hasMark(r, type));
    const changed = middle.map((r) => ({
      text: r.text,
      marks: all ? r.marks.filter((m) => m.type !== type) : [...r.marks.filter((m) => m.type !== type), { type }],
    }));
    return normalize([...slice(runs, 0, start), ...changed, ...slice(runs, end)]);
  }

  const isAI = (bullet) => bullet.ai !== undefined && bullet.ai !== null;

  function eachBullet(list, fn, parent = null) {
    for (const b of Array.isArray(list) ? list : []) {
      if (!b || typeof b !== "object") continue;
      if (fn(b, parent, list) === false) return false;
      if (eachBullet(b.children, fn, b) === false) return false;
    }
    return true;
  }

  function findBullet(doc, id) {
    let found = null;
    for (const node of doc.nodes) {
      eachBullet(node.children, (b, parent, list) => {
        if (b.id === id) { found = { bullet: b, node, list }; return false; }
      });
      if (found) break;
    }
    return found;
  }

  // Gives every node and bullet an id, and a new one where an id repeats. Answers whether it changed anything.
  function ensureIds(doc) {
    if (!Array.isArray(doc.nodes)) doc.nodes = [];
    doc.nodes = doc.nodes.filter((n) => n && typeof n === "object");
    const seen = new Set();
    let changed = false;
    const fix = (item, prefix) => {
      if (typeof item.id !== "string" || !item.id || seen.has(item.id)) { item.id = uid(prefix); changed = true; }
      seen.add(item.id);
    };
    for (const node of doc.nodes) {
      fix(node, "n-");
      eachBullet(node.children, (b) => fix(b, "b-"));
    }
    return changed;
  }

  function words(text) {
    return text.split(/\s+/).filter(Boolean);
  }

  function firstWords(doc) {
    for (const node of doc.nodes || []) {
      const w = words(plain(node)).slice(0, 6).join(" ");
      if (w) return w;
    }
    return "";
  }

  function displayTitle(doc) {
    const t = typeof doc.title === "string" ? doc.title.trim() : "";
    return t || firstWords(doc) || "Untitled";
  }

  function stats(doc) {
    const s = { paragraphs: 0, words: 0, notes: 0, thoughts: 0 };
    for (const node of doc.nodes || []) {
      const text = plain(node);
      if (text.trim()) s.paragraphs++;
      s.words += words(text).length;
      eachBullet(node.children, (b) => { if (isAI(b)) s.thoughts++; else s.notes++; });
    }
    return s;
  }

  // Markdown and plain text become a doc: the first "# " line is the title, blank lines separate
  // paragraphs, "## " starts a heading, "- " lines after a paragraph become its bullets.
  function fromMarkdown(text, fileName) {
    const lines = text.replace(/^\uFEFF/, "").replace(/\r\n?/g, "\n").split("\n");
    let title = "";
    const heading = lines.findIndex((l) => /^#\s+\S/.test(l));
    if (heading >= 0 && lines.slice(0, heading).every((l) => !l.trim())) {
      title = lines[heading].replace(/^#\s+/, "").trim();
      lines.splice(0, heading + 1);
    }
    if (!title) title = fileName.replace(/\.[^.]+$/, "");
    const nodes = [];
    let para = [];
    const endPara = () => {
      if (para.length) nodes.push(newNode(inline(para.join("\n"))));
      para = [];
    };
    for (const line of lines) {
      const h = /^(#{2,6})\s+(.*)$/.exec(line);
      const b = /^(\s*)[-*+]\s+(.*)$/.exec(line);
      if (!line.trim()) endPara();
      else if (h) { endPara(); nodes.push({ ...newNode(inline(h[2].trim())), level: h[1].length - 1 }); }
      else if (b && (para.length || nodes.length)) {
        endPara();
        const node = nodes[nodes.length - 1];
        const ai = /^\(AI\)\s+/.test(b[2]);
        const bullet = newBullet(b[2].replace(/^\(AI\)\s+/, ""));
        if (ai) bullet.ai = true;
        (node.children = node.children || []).push(bullet);
      } else para.push(line);
    }
    endPara();
    return newDoc(title, nodes.length ? nodes : [newNode()]);
  }

  // **bold**, *italic* or _italic_, ==highlight==, in any nesting the writer is likely to use.
  function inline(text, marks = []) {
    const re = /(\*\*|__)(.+?)\1|==(.+?)==|(\*|_)(?=\S)(.+?)\4/g;
    const runs = [];
    let last = 0, m;
    while ((m = re.exec(text))) {
      if (m.index > last) runs.push({ text: text.slice(last, m.index), marks });
      const type = m[1] ? "bold" : m[3] !== undefined ? "highlight" : "italic";
      runs.push(...inline(m[2] ?? m[3] ?? m[5], [...marks, { type }]));
      last = re.lastIndex;
    }
    if (last < text.length) runs.push({ text: text.slice(last), marks });
    return normalize(runs);
  }

  return {
    uid, MARKS, newNode, newBullet, newDoc, clone, runsOf, plain, hasMark, normalize, slice, toggleMark,
    isAI, eachBullet, findBullet, ensureIds, firstWords, displayTitle, stats, fromMarkdown,
  };
})();
