// Types into the reference page as a person would: a new document, a title, a paragraph. Then asks
// the page to settle (flush its writes) and reports.
window.addEventListener("load", async () => {
  const type = (el, text) => {
    el.focus();
    document.execCommand("insertText", false, text);
    el.dispatchEvent(new Event("input", { bubbles: true }));
  };
  try {
    for (let i = 0; i < 50 && !(window.QuillstoneApp && window.QuillstoneMac); i++) await pause(100);
    if (!window.QuillstoneApp) throw new Error("the page defined no entry points");
    await report("PASS loaded");
    if (window.QuillstoneApp.run("newDoc", null) !== true) throw new Error("newDoc was refused");
    await pause(200);
    type(document.querySelector("textarea.title"), "Typed end to end");
    await pause(200);
    const para = document.querySelector(".page-body .para");
    if (!para) throw new Error("no paragraph to type into");
    type(para, "A sentence typed into the page.");
    await pause(100);
    await window.QuillstoneMac.settle();
    await report("PASS typed");
  } catch (e) {
    await report("FAIL typing: " + e.message);
  }
  await report("TYPED");
});
