// Uploads one file with the official Azure SDK for JavaScript in staged blocks:
// uploadFile with 4 MiB blocks, 4 in flight. Without maxSingleShotSize the SDK would
// send anything up to 256 MiB as one Put Blob.
// Usage: node sdk_upload.mjs FILE SAS_URL
// Prints the seconds the upload took and the CPU seconds this process spent on it.
import { BlockBlobClient } from "@azure/storage-blob";

const [file, sasURL] = process.argv.slice(2);
if (!file || !sasURL) {
  console.error("usage: node sdk_upload.mjs FILE SAS_URL");
  process.exit(2);
}

const client = new BlockBlobClient(sasURL);
const started = process.hrtime.bigint();
const cpuBefore = process.cpuUsage();
try {
  await client.uploadFile(file, {
    blockSize: 4 * 1024 * 1024,
    maxSingleShotSize: 4 * 1024 * 1024,
    concurrency: 4,
    blobHTTPHeaders: { blobContentType: "audio/wav" },
  });
} catch (error) {
  console.error(`upload failed: ${error.message}`);
  process.exit(1);
}
const seconds = Number(process.hrtime.bigint() - started) / 1e9;
const cpu = process.cpuUsage(cpuBefore);
console.log(seconds.toFixed(3), ((cpu.user + cpu.system) / 1e6).toFixed(3));
