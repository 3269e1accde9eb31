// What every test page shares (the harness puts it beside the page): the one channel to the native
// side, replies decoded, a document's record, and reports that reach standard error as
// "Quillstone page: E2E …".
const post = (message) => window.webkit.messageHandlers.quillstoneHost.postMessage(message);
const report = (text) => post({ op: "log", text: "E2E " + text });
const decode = (r) => (typeof r === "string" && r.charCodeAt(0) === 0x1e ? JSON.parse(r.slice(1)) : r);
const record = (doc, rev = 1) => ({ id: doc.id, rev, updated: Date.now(), deleted: false, doc });
const write = async (...records) => decode(await post({ op: "write", batch: { docs: records } }));
const pause = (ms) => new Promise((resolve) => setTimeout(resolve, ms));
