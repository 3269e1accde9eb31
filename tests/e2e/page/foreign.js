// Loaded by a page that is not the app's own (a blob: document): its messages must be refused.
// Its settle never ends; the promise is held, so it stays pending rather than being collected.
window.QuillstoneMac = { settle: () => new Promise((resolve) => { window.neverSettled = resolve; }) };
window.webkit.messageHandlers.quillstoneHost.postMessage({ op: "open" }).catch((e) => { document.title = e.message; });
