// The page's side of the host channel. Spliced by the native program into the first user script
// of every document window, after the folder and focus globals; it must run standalone.
(function () {
  "use strict";
  var handler = window.webkit && window.webkit.messageHandlers && window.webkit.messageHandlers.quillstoneHost;
  if (!handler) return;
  var host = window.QuillstoneHost || {};

  // Replies holding JSON arrive as a string led by U+001E; anything else is the value itself.
  host.decode = function (reply) {
    if (typeof reply === "string" && reply.charCodeAt(0) === 0x1e) return JSON.parse(reply.slice(1));
    return reply;
  };

  // One message, one answer: resolves with the decoded reply, rejects with the host's error text.
  host.send = function (message) {
    return Promise.resolve(handler.postMessage(message)).then(host.decode);
  };

  window.QuillstoneHost = host;
})();
