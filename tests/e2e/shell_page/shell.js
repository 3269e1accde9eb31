// The window around the page: its size, the user agent, frames the page makes, printing and
// spelling. The test decides what each launch does (window.E2E_MODE, from mode.js) and drives
// the print dialog from outside; this page reports what it sees as "log" messages.
(function () {
  const post = (message) => window.webkit.messageHandlers.quillstoneHost.postMessage(message);
  const report = (text) => post({ op: "log", text: "E2E " + text });
  const wait = (ms) => new Promise((resolve) => setTimeout(resolve, ms));
  const mode = window.E2E_MODE || "size";

  let afterprints = 0;
  addEventListener("afterprint", () => { afterprints += 1; report("AFTERPRINT " + afterprints); });
  addEventListener("beforeprint", () => report("BEFOREPRINT"));

  const frames = async () => {
    // Frames the page makes, and a link aimed at one: none of them may leave the app.
    const loaded = document.createElement("iframe");
    loaded.src = "https://example.invalid/frame-src";
    document.body.appendChild(loaded);
    const named = document.createElement("iframe");
    named.name = "notes";
    document.body.appendChild(named);
    await wait(200);
    const link = document.createElement("a");
    link.href = "https://example.invalid/frame-target";
    link.target = "notes";
    document.body.appendChild(link);
    link.click();
    try { named.contentWindow.location.href = "https://example.invalid/frame-location"; } catch (e) { /* refused is fine */ }
    await wait(800);
    report("FRAMES " + location.href);
  };

  const print = async (which) => {
    const answer = await post({ op: "print" });
    report("PRINT-ANSWERED " + which + " " + answer.charCodeAt(0) + answer.slice(1));
    while (afterprints < which) await wait(100);
  };

  const spelling = async () => {
    const field = document.getElementById("spelling");
    field.focus();
    document.execCommand("insertText", false, "Thiss sentense hass misspeled wurds ");
    await wait(1500);
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
      await wait(1500);  // a second "afterprint" would have come by now
    }
    if (mode === "full" || mode === "spelling") await spelling();
    report("READY");
  })();
})();
