#!/usr/bin/env node
// A stand-in for kelvadrome-bridge on the native-messaging road: reads length-prefixed JSON from
// standard input and answers the JSON-RPC contract, echoing the origin the extension stamped so
// that a test can see it. Appends every request it gets to the file named by its first argument.
import fs from "node:fs";

const journal = process.argv[2];
let buffered = Buffer.alloc(0);
process.stdin.on("data", (chunk) => {
  buffered = Buffer.concat([buffered, chunk]);
  while (buffered.length >= 4) {
    const length = buffered.readUInt32LE(0);
    if (buffered.length < 4 + length) break;
    const message = JSON.parse(buffered.subarray(4, 4 + length).toString("utf8"));
    buffered = buffered.subarray(4 + length);
    if (journal) fs.appendFileSync(journal, JSON.stringify(message) + "\n");
    const result = message.method === "Kelvadrome.open" ? {session: "native-session"}
        : message.method === "Kelvadrome.close" ? {}
        : {value: message.method === "GetErrorCode" ? 0 : `${message.method} for ${message.origin}`,
           errorCode: 0, errorMsg: "成功(0)", capiErrorCode: 0};
    const reply = Buffer.from(JSON.stringify({jsonrpc: "2.0", id: message.id, result}), "utf8");
    const header = Buffer.alloc(4);
    header.writeUInt32LE(reply.length, 0);
    process.stdout.write(Buffer.concat([header, reply]));
  }
});
