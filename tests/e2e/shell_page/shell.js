// The window around the page: its size, the user agent, frames the page makes, printing and
// spelling. The test decides what each launch does (window.E2E_MODE, from mode.js) and drives the
// print dialog from outside; this page reports what it sees.
(function () {
  const mode = window.E2E_MODE || "size";
  let afterprints = 0;
  addEventListener("afterprint", () => report("AFTERPRINT " + ++afterprints));
  addEventListener("beforeprint", () => report("BEFOREPRINT"));

  const frames = async () => {
    // Frames the page makes, and a link aimed at one: none of them may leave the app.
    const add = (tag, props) => document.body.appendChild(Object.assign(document.createElement(tag), props));
    add("iframe", { src: "https://example.invalid/frame-src" });
    const named = add("iframe", { name: "notes" });
    await pause(200);
    add("a", { href: "https://example.invalid/frame-target", target: "notes" }).click();
    try { named.contentWindow.location.href = "https://example.invalid/frame-location"; } catch (e) { /* refused is fine */ }
    await pause(800);
    report("FRAMES " + location.href);
  };
  const print = async (which) => {
    const answer = await post({ op: "print" });
    report("PRINT-ANSWERED " + which + " " + answer.charCodeAt(0) + answer.slice(1));
    while (afterprints < which) await pause(100);
  };
  const spelling = async () => {
    const field = document.getElementById("spelling");
    field.focus();
    document.execCommand("insertText", false, "Thiss sentense hass misspeled wurds ");
    await pause(1500);
    const box = field.getBoundingClientRect();
    report("SPELLING " + [box.left, box.top, box.right, box.bottom].map(Math.round).join(" "));
  };

  (async () => {
    await post({ op: "loaded" });
    report("SIZE " + innerWidth + "x" + innerHeight);
    report("UA " + navigator.userAgent);
    if (mode === "full") {
      await frames();
      await print(1);
      await print(2);
      await pause(1500);  // a second "afterprint" would have come by now
    }
    if (mode === "full" || mode === "spelling") await spelling();
    report("READY");
  })();
})();
