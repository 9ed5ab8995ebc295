// Drives the host through both native-messaging APIs and reports each outcome
// on the console as one line: TARNWICK-E2E {"name":...,"value":...}.
const HOST = "com.tarnwick.host";

function report(name, value) {
  console.log("TARNWICK-E2E " + JSON.stringify({name, value}));
}

function lastError() {
  return chrome.runtime.lastError ? chrome.runtime.lastError.message : null;
}

// One message, one new host process.
function send(host, message) {
  return new Promise((resolve) => {
    chrome.runtime.sendNativeMessage(host, message, (reply) => {
      const error = lastError();
      resolve(error ? {error} : {reply});
    });
  });
}

// Several messages over one host process, in order.
function session(messages) {
  return new Promise((resolve) => {
    const port = chrome.runtime.connectNative(HOST);
    const replies = [];
    port.onMessage.addListener((reply) => {
      replies.push(reply);
      if (replies.length === messages.length) {
        port.disconnect();
        resolve({replies});
      }
    });
    port.onDisconnect.addListener(() => resolve({replies, error: lastError()}));
    for (const message of messages) port.postMessage(message);
  });
}

async function run() {
  report("session", await session([
    {type: "ping", browser: "brave"},
    {type: "capture", browser: "vivaldi", url: "https://example.test/session"},
    {type: "open"},
    {type: "capture"},
    {type: "ping", browser: "Chrome"},
  ]));
  report("ping", await send(HOST, {type: "ping", browser: "chromium"}));
  report("capture", await send(HOST, {
    type: "capture", browser: "chrome", url: "https://example.test/été?x=1&y=\u0000",
    filename: "page.html", referrer: "",
  }));
  report("open", await send(HOST, {type: "open", browser: "edge"}));
  report("unknown", await send(HOST, {type: "nothing"}));
  report("unregistered", await send("com.tarnwick.unregistered", {type: "ping"}));
  report("missing", await send("com.tarnwick.missing", {type: "ping"}));
  report("forbidden", await send("com.tarnwick.forbidden", {type: "ping"}));
  // One connection stays open: when the browser goes away, its host must
  // see the end of its input and exit by itself.
  const lingering = chrome.runtime.connectNative(HOST);
  lingering.onMessage.addListener((reply) => {
    report("lingering", {reply});
    report("done", true);
  });
  // A host the browser will not start ends the connection instead.
  lingering.onDisconnect.addListener(() => {
    report("lingering", {error: lastError()});
    report("done", true);
  });
  lingering.postMessage({type: "ping"});
}

// With a probe.json beside it (the differential test writes one into its
// copy of the extension), it sends one ping to the host named there and
// reports the outcome, or a timeout, instead of the scenario above.
async function probe(settings) {
  const outcome = await Promise.race([
    send(settings.host, {type: "ping"}),
    new Promise((resolve) => setTimeout(() => resolve({timeout: true}), settings.timeout)),
  ]);
  report("probe", outcome);
  report("done", true);
}

fetch(chrome.runtime.getURL("probe.json"))
  .then((response) => response.json())
  .then(probe, () => run());
