// Records until each source has SECONDS of audio through the installed
// module, leaving the loop early, and writes each source's PCM into DIR:
//   node record.mjs HELPER DIR SECONDS
import { writeFileSync } from 'node:fs';
import { join } from 'node:path';
import { SAMPLE_RATE, Session } from 'zentrell-audio';

const [helperPath, dir, seconds] = process.argv.slice(2);
const session = new Session({ helperPath });
const pcm = { system: [], microphone: [] };
const totals = { system: 0, microphone: 0 };
await session.prepare();
await session.start();
for await (const chunk of session) {
  pcm[chunk.source].push(chunk.pcm);
  totals[chunk.source] = chunk.total;
  if (Math.min(totals.system, totals.microphone) >= seconds * SAMPLE_RATE) break;
}
for (const source of Object.keys(pcm)) writeFileSync(join(dir, `${source}.pcm`), Buffer.concat(pcm[source]));
console.log(JSON.stringify({ pid: session.pid, exitStatus: session.exitStatus, totals }));
