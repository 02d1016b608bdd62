// Uploads one file with the official Azure SDK for JavaScript in staged blocks:
// uploadFile with 4 MiB blocks, 4 in flight. Without maxSingleShotSize the SDK would
// send anything up to 256 MiB as one Put Blob.
// Usage: node sdk_upload.mjs FILE SAS_URL   Prints the seconds the upload took.
import { BlockBlobClient } from "@azure/storage-blob";

const [file, sasURL] = process.argv.slice(2);
if (!file || !sasURL) {
  console.error("usage: node sdk_upload.mjs FILE SAS_URL");
  process.exit(2);
}

const client = new BlockBlobClient(sasURL);
const started = process.hrtime.bigint();
await client.uploadFile(file, {
  blockSize: 4 * 1024 * 1024,
  maxSingleShotSize: 4 * 1024 * 1024,
  concurrency: 4,
  blobHTTPHeaders: { blobContentType: "audio/wav" },
});
const seconds = Number(process.hrtime.bigint() - started) / 1e9;
console.log(seconds.toFixed(3));
