// kelvadrome.js: the page's way to the certificate component. Kelvadrome.create() opens a session
// with kelvadrome-bridge and gives an object with every method of the automation object
// KelvadromeATL.CAPI as an async function returning the method's value, so a page's call sequence
// ports line by line:
//
//   const capi = await Kelvadrome.create();
//   const request = await capi.CreatePKCS10("Alice", 2048, 0);
//   if (await capi.GetErrorCode() !== 0) alert(await capi.GetErrorMsg());
//
// Two roads lead to the bridge: the browser extension (its content script relays window messages
// to the bridge the browser starts), used when it answers; otherwise the bridge's service on the
// loopback address. Each session is its own automation object: its selected signer and error
// slots are its own. The method list comes from the component's method table
// (kelvadrome-methods.js, generated); the declarations are in kelvadrome.d.ts.
import {METHODS} from "./kelvadrome-methods.js";

const DEFAULT_PORT = 47471;
const DEFAULT_EXTENSION_TIMEOUT_MS = 300;
// The tag of every window message between this library and the extension's content script.
const CHANNEL = "kelvadrome";

// A fault of the bridge itself (a JSON-RPC error: unknown method, bad parameters, too large,
// refused): not a component error code, which methods report through GetErrorCode.
export class KelvadromeBridgeError extends Error {
  constructor(code, message) {
    super(message);
    this.name = "KelvadromeBridgeError";
    this.code = code;
  }
}

// The loopback road: POST /rpc on 127.0.0.1, the session in the Kelvadrome-Session header.
function loopbackRoad(port) {
  const url = `http://127.0.0.1:${port}/rpc`;
  return {
    name: "loopback",
    async exchange(message, session) {
      const headers = {"Content-Type": "application/json"};
      if (session !== null) headers["Kelvadrome-Session"] = session;
      let response;
      try {
        response = await fetch(url, {method: "POST", headers, body: JSON.stringify(message)});
      } catch (cause) {
        throw new KelvadromeBridgeError(-32000, `the bridge does not answer at ${url}: ${cause}`);
      }
      return response.json();
    },
  };
}

// The extension road: window messages to the content script, which hands them to the extension's
// background script (it adds the page's origin, as the browser reports it) and on to the bridge.
function extensionRoad(target) {
  const pending = new Map();
  let next = 1;
  target.addEventListener("message", (event) => {
    const data = event.data;
    if (event.source !== target || !data || data.channel !== CHANNEL || data.kind !== "reply") {
      return;
    }
    const waiting = pending.get(data.ticket);
    if (waiting === undefined) return;
    pending.delete(data.ticket);
    waiting(data.message);
  });
  return {
    name: "extension",
    exchange(message, session) {
      const ticket = next++;
      return new Promise((resolve) => {
        pending.set(ticket, resolve);
        const framed = session === null ? message : {...message, session};
        target.postMessage({channel: CHANNEL, kind: "request", ticket, message: framed}, "*");
      });
    },
  };
}

// True when the extension's content script answers a hello within |timeout| milliseconds.
function extensionAnswers(target, timeout) {
  if (!target || typeof target.postMessage !== "function") return Promise.resolve(false);
  return new Promise((resolve) => {
    const timer = setTimeout(() => {
      target.removeEventListener("message", listen);
      resolve(false);
    }, timeout);
    function listen(event) {
      const data = event.data;
      if (event.source !== target || !data || data.channel !== CHANNEL || data.kind !== "ready") {
        return;
      }
      clearTimeout(timer);
      target.removeEventListener("message", listen);
      resolve(true);
    }
    target.addEventListener("message", listen);
    target.postMessage({channel: CHANNEL, kind: "hello"}, "*");
  });
}

// Checks the arguments of |method| the way the automation object converts them: texts are
// strings, integers 32-bit whole numbers. A wrong call is refused before it leaves the page.
function checkArguments(method, args) {
  if (args.length !== method.params.length) {
    throw new KelvadromeBridgeError(
        -32602, `${method.name} takes ${method.params.length} arguments, not ${args.length}`);
  }
  method.params.forEach(([name, kind], i) => {
    const value = args[i];
    const fits = kind === "text" ? typeof value === "string"
                                 : Number.isInteger(value) && value >= -2147483648 &&
                                       value <= 2147483647;
    if (!fits) {
      throw new KelvadromeBridgeError(
          -32602, `${method.name}: ${name} must be ${kind === "text" ? "a string" : "an integer"}`);
    }
  });
}

class Session {
  constructor(road) {
    this.road = road;
    this.id = null;
    this.nextId = 1;
  }

  async call(method, params) {
    const reply =
        await this.road.exchange({jsonrpc: "2.0", id: this.nextId++, method, params}, this.id);
    if (reply && reply.error) {
      throw new KelvadromeBridgeError(reply.error.code, reply.error.message);
    }
    if (!reply || reply.result === undefined) {
      throw new KelvadromeBridgeError(-32603, `the bridge gave no result for ${method}`);
    }
    return reply.result;
  }
}

async function create(options = {}) {
  const road = options.road || "auto";
  const target = typeof window !== "undefined" ? window : undefined;
  let chosen;
  if (road === "extension" ||
      (road === "auto" &&
       await extensionAnswers(target,
                              options.extensionTimeoutMs ?? DEFAULT_EXTENSION_TIMEOUT_MS))) {
    chosen = extensionRoad(target);
  } else {
    chosen = loopbackRoad(options.port ?? DEFAULT_PORT);
  }
  const session = new Session(chosen);
  const opened = await session.call("Kelvadrome.open", []);
  if (typeof opened !== "object" || opened === null || typeof opened.session !== "string") {
    throw new KelvadromeBridgeError(-32603, "the bridge opened no session");
  }
  session.id = opened.session;
  const capi = {
    road: chosen.name,
    async close() {
      if (session.id === null) return;
      await session.call("Kelvadrome.close", []);
      session.id = null;
    },
  };
  for (const method of METHODS) {
    capi[method.name] = async (...args) => {
      checkArguments(method, args);
      const result = await session.call(method.name, args);
      if (typeof result !== "object" || result === null || !("value" in result)) {
        throw new KelvadromeBridgeError(-32603, `the bridge gave no value for ${method.name}`);
      }
      return result.value;
    };
  }
  return Object.freeze(capi);
}

export const Kelvadrome = Object.freeze({create});
export default Kelvadrome;
