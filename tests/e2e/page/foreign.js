// Loaded by a page that is not the app's own (a blob: document): its messages must be refused.
window.QuillstoneMac = { settle: () => new Promise(() => {}) };
window.webkit.messageHandlers.quillstoneHost.postMessage({ op: "open" }).catch((e) => { document.title = e.message; });
