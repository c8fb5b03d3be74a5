// Google's own Node.js client libraries against a fresh gce-emulator.
//
//   node suite.js GCE_EMULATOR_BINARY
//
// Starts the emulator (demo world) on a free loopback port behind a small
// recording relay, drives it with @google-cloud/compute (REST transport),
// @googleapis/compute, @googleapis/storage, @google-cloud/kms and
// google-auth-library, then checks every JSON answer the relay saw against the
// client's own message types (protobuf.js types of @google-cloud/compute and
// @google-cloud/kms): no unknown field, int64 as strings, known enum values.
// Prints one line per step (client, step, result) and exits 1 if any failed.
// Nothing leaves the loopback interface: every client gets the relay as its
// endpoint and the token requests of the auth library are redirected to the
// key's token_uri.
'use strict';

const {spawn} = require('node:child_process');
const fs = require('node:fs');
const http = require('node:http');
const os = require('node:os');
const path = require('node:path');
const readline = require('node:readline');

const compute = require('@google-cloud/compute');
const {compute: discoveryCompute} = require('@googleapis/compute');
const {storage: discoveryStorage} = require('@googleapis/storage');
const {KeyManagementServiceClient} = require('@google-cloud/kms');
const {JWT, JWTAccess, OAuth2Client} = require('google-auth-library');
const protobuf = require('protobufjs');
const {fromProto3JSON} = require('proto3-json-serializer');

const PROJECT = 'demo-project';
const GOOGLE_TOKEN_URL = 'https://oauth2.googleapis.com/token';

const results = [];
async function step(client, name, fn) {
  const started = Date.now();
  try {
    const detail = await fn();
    results.push({client, name, ok: true, detail: detail || '', ms: Date.now() - started});
  } catch (e) {
    results.push({client, name, ok: false, detail: (e && e.stack) || String(e), ms: Date.now() - started});
  }
}

function check(cond, message) {
  if (!cond) throw new Error(message);
}

// The error a call is expected to fail with.
async function failure(promise) {
  try {
    await promise;
  } catch (e) {
    return e;
  }
  throw new Error('the call succeeded but was expected to fail');
}

// ---- the emulator and the recording relay ----

function startEmulator(binary) {
  const state = fs.mkdtempSync(path.join(os.tmpdir(), 'gce-clients-'));
  const child = spawn(binary, ['--listen', '127.0.0.1:0', '--state', state, '--seed', 'demo',
                               '--demo-data-mib', '4'],
                      {stdio: ['ignore', 'pipe', 'inherit']});
  return new Promise((resolve, reject) => {
    const timer = setTimeout(() => reject(new Error('gce-emulator did not start in 30 s')), 30000);
    child.on('exit', (code) => reject(new Error(`gce-emulator exited with ${code}`)));
    readline.createInterface({input: child.stdout}).once('line', (line) => {
      clearTimeout(timer);
      const m = /listening on (http:\/\/127\.0\.0\.1:(\d+))/.exec(line);
      if (!m) return reject(new Error(`unexpected first line: ${line}`));
      resolve({child, state, port: Number(m[2])});
    });
  });
}

// Forwards every request to the emulator and keeps each JSON answer with its
// method and path, for the type check at the end.
function startRelay(targetPort, recorded) {
  const server = http.createServer((req, res) => {
    const chunks = [];
    req.on('data', (c) => chunks.push(c));
    req.on('end', () => {
      const upstream = http.request(
          {host: '127.0.0.1', port: targetPort, method: req.method, path: req.url, headers: req.headers},
          (answer) => {
            const body = [];
            answer.on('data', (c) => body.push(c));
            answer.on('end', () => {
              const data = Buffer.concat(body);
              const type = answer.headers['content-type'] || '';
              if (type.startsWith('application/json') && data.length) {
                recorded.push({method: req.method, url: req.url, status: answer.statusCode,
                               auth: req.headers.authorization || '', body: data.toString('utf8')});
              }
              res.writeHead(answer.statusCode, answer.headers);
              res.end(data);
            });
          });
      upstream.on('error', (e) => {
        res.writeHead(502);
        res.end(String(e));
      });
      upstream.end(Buffer.concat(chunks));
    });
  });
  return new Promise((resolve) => server.listen(0, '127.0.0.1', () => resolve(server)));
}

// ---- credentials pointed at the emulator ----

// A service-account JWT client whose token requests go to the key's
// token_uri: the library posts to Google's fixed token URL whatever the key
// says, so its transport is redirected the way a user would do it.
function jwtClient(key, scopes) {
  const client = new JWT({email: key.client_email, key: key.private_key, keyId: key.private_key_id, scopes});
  client.transporter.interceptors.request.add({
    resolved: async (config) => {
      if (String(config.url) === GOOGLE_TOKEN_URL) config.url = key.token_uri;
      return config;
    },
  });
  return client;
}

// ---- the type check ----

function loadRoot(file) {
  return protobuf.Root.fromJSON(JSON.parse(fs.readFileSync(require.resolve(file), 'utf8')));
}

const computeRoot = loadRoot('@google-cloud/compute/build/protos/protos.json');
const kmsRoot = loadRoot('@google-cloud/kms/build/protos/protos.json');

const INT64 = new Set(['int64', 'uint64', 'sint64', 'fixed64', 'sfixed64']);
const NUMBER = new Set(['int32', 'uint32', 'sint32', 'fixed32', 'sfixed32', 'double', 'float']);

function pascal(name) {
  return name.charAt(0).toUpperCase() + name.slice(1);
}

// Problems of value as message type: unknown fields, int64 not a string,
// wrong scalar types, enum values the type does not know.
function typeProblems(type, value, where, out) {
  if (type.fullName === '.google.protobuf.Timestamp' || type.fullName === '.google.protobuf.Duration') {
    if (typeof value !== 'string') out.push(`${where}: expected a string`);
    return;
  }
  if (value === null || typeof value !== 'object' || Array.isArray(value)) {
    out.push(`${where}: expected an object of ${type.name}`);
    return;
  }
  const byJson = {};
  for (const f of type.fieldsArray) {
    byJson[f.name] = f;
    if (f.options && f.options.json_name) byJson[f.options.json_name] = f;
  }
  for (const [key, v] of Object.entries(value)) {
    const field = byJson[key];
    if (!field) {
      out.push(`${where}.${key}: unknown field of ${type.name}`);
      continue;
    }
    field.resolve();
    const check1 = (x, at) => scalarOrMessage(type, field, x, at, out);
    if (field.map) {
      if (typeof v !== 'object' || v === null) out.push(`${where}.${key}: expected a map`);
      else for (const [k, x] of Object.entries(v)) check1(x, `${where}.${key}[${k}]`);
    } else if (field.repeated) {
      if (!Array.isArray(v)) out.push(`${where}.${key}: expected a list`);
      else v.forEach((x, i) => check1(x, `${where}.${key}[${i}]`));
    } else {
      check1(v, `${where}.${key}`);
    }
  }
}

function scalarOrMessage(parent, field, v, at, out) {
  if (field.resolvedType instanceof protobuf.Type) return typeProblems(field.resolvedType, v, at, out);
  if (field.resolvedType instanceof protobuf.Enum) {
    if (typeof v !== 'string' || !(v in field.resolvedType.values)) out.push(`${at}: bad enum value ${v}`);
    return;
  }
  if (INT64.has(field.type)) {
    if (typeof v !== 'string' || !/^-?[0-9]+$/.test(v)) out.push(`${at}: int64 must be a decimal string`);
  } else if (NUMBER.has(field.type)) {
    if (typeof v !== 'number') out.push(`${at}: expected a number`);
  } else if (field.type === 'bool') {
    if (typeof v !== 'boolean') out.push(`${at}: expected a boolean`);
  } else if (field.type === 'string' || field.type === 'bytes') {
    if (typeof v !== 'string') out.push(`${at}: expected a string`);
    // Compute enums travel as strings; the allowed values are a nested enum
    // named after the field.
    const e = parent.nested && parent.nested[pascal(field.name)];
    if (field.type === 'string' && e instanceof protobuf.Enum && typeof v === 'string' && !(v in e.values)) {
      out.push(`${at}: ${v} is not a value of ${parent.name}.${e.name}`);
    }
  }
}

// The message type of a recorded answer, from its method and path.
function computeTypeOf(method, p) {
  const rest = p.replace(/^\/compute\/v1\/projects\/[^/]+/, '');
  if (method !== 'GET' && !/\/wait$/.test(rest)) return 'Operation';
  const rules = [
    [/^$/, 'Project'],
    [/^\/aggregated\/instances$/, 'InstanceAggregatedList'],
    [/^\/aggregated\/disks$/, 'DiskAggregatedList'],
    [/^\/aggregated\/operations$/, 'OperationAggregatedList'],
    [/^\/zones$/, 'ZoneList'],
    [/^\/zones\/[^/]+$/, 'Zone'],
    [/^\/regions$/, 'RegionList'],
    [/^\/regions\/[^/]+$/, 'Region'],
    [/\/machineTypes$/, 'MachineTypeList'],
    [/\/machineTypes\/[^/]+$/, 'MachineType'],
    [/\/diskTypes$/, 'DiskTypeList'],
    [/\/diskTypes\/[^/]+$/, 'DiskType'],
    [/\/instances$/, 'InstanceList'],
    [/\/instances\/[^/]+$/, 'Instance'],
    [/\/disks$/, 'DiskList'],
    [/\/disks\/[^/]+$/, 'Disk'],
    [/\/snapshots$/, 'SnapshotList'],
    [/\/snapshots\/[^/]+$/, 'Snapshot'],
    [/\/operations$/, 'OperationList'],
    [/\/operations\/[^/]+(\/wait)?$/, 'Operation'],
  ];
  for (const [re, name] of rules) if (re.test(rest)) return name;
  return null;
}

function kmsTypeOf(p) {
  const rules = [
    [/\/keyRings$/, 'ListKeyRingsResponse'],
    [/\/keyRings\/[^/]+$/, 'KeyRing'],
    [/\/cryptoKeys$/, 'ListCryptoKeysResponse'],
    [/\/cryptoKeys\/[^/]+$/, 'CryptoKey'],
    [/\/cryptoKeyVersions$/, 'ListCryptoKeyVersionsResponse'],
    [/\/cryptoKeyVersions\/[^/]+$/, 'CryptoKeyVersion'],
  ];
  for (const [re, name] of rules) if (re.test(p)) return name;
  return null;
}

function checkRecorded(recorded) {
  let checked = 0;
  const problems = [];
  for (const r of recorded) {
    if (r.status < 200 || r.status >= 300) continue;
    const [p, query] = r.url.split('?');
    if (query && /(^|&)fields=/.test(query)) continue;  // partial answers are checked by their step
    let type = null;
    if (p.startsWith('/compute/v1/')) {
      const name = computeTypeOf(r.method, p);
      type = name && computeRoot.lookupType(`google.cloud.compute.v1.${name}`);
    } else if (p.startsWith('/v1/projects/') && p.includes('/locations/')) {
      const name = kmsTypeOf(p);
      type = name && kmsRoot.lookupType(`google.cloud.kms.v1.${name}`);
    }
    if (!type) continue;
    const value = JSON.parse(r.body);
    const out = [];
    typeProblems(type, value, `${r.method} ${p}`, out);
    // The client's own JSON decoder must take it, and the message must verify.
    try {
      const message = fromProto3JSON(type, value);
      const err = message && type.verify(message);
      if (!message || err) out.push(`${r.method} ${p}: verify: ${err || 'not decoded'}`);
    } catch (e) {
      out.push(`${r.method} ${p}: decode: ${e.message}`);
    }
    problems.push(...out);
    checked++;
  }
  return {checked, problems};
}

// ---- the steps ----

async function main() {
  const binary = process.argv[2];
  if (!binary) throw new Error('usage: node suite.js GCE_EMULATOR_BINARY');
  const started = Date.now();
  const emu = await startEmulator(binary);
  const recorded = [];
  const relay = await startRelay(emu.port, recorded);
  const port = relay.address().port;
  const base = `http://127.0.0.1:${port}`;
  const key = JSON.parse(fs.readFileSync(path.join(emu.state, 'backup-sa.json'), 'utf8'));
  const scopes = ['https://www.googleapis.com/auth/cloud-platform'];
  const auth = jwtClient(key, scopes);
  try {
    await run({base, port, key, auth, scopes, recorded});
  } finally {
    relay.close();
    emu.child.removeAllListeners('exit');
    emu.child.kill('SIGTERM');
    fs.rmSync(emu.state, {recursive: true, force: true});
  }
  const width = [21, 58];
  console.log(`${'client'.padEnd(width[0])}  ${'step'.padEnd(width[1])}  result`);
  for (const r of results) {
    console.log(`${r.client.padEnd(width[0])}  ${r.name.padEnd(width[1])}  ${r.ok ? 'pass' : 'FAIL'}` +
                (r.detail && r.ok ? `  (${r.detail})` : ''));
  }
  const failed = results.filter((r) => !r.ok);
  for (const r of failed) console.log(`\n${r.client} / ${r.name}:\n${r.detail}`);
  console.log(`\n${results.length - failed.length}/${results.length} steps passed in ` +
              `${((Date.now() - started) / 1000).toFixed(1)} s`);
  process.exitCode = failed.length ? 1 : 0;
}

async function run({base, port, key, auth, scopes, recorded}) {
  const GAL = 'google-auth-library';
  let token;
  await step(GAL, 'access token from the key\'s token_uri', async () => {
    token = (await auth.getAccessToken()).token;
    check(typeof token === 'string' && token.length > 10, 'no access token');
  });
  const get = (p, headers) => fetch(base + p, {headers});
  await step(GAL, 'self-signed JWT, audience = the API\'s base URL', async () => {
    const access = new JWTAccess(key.client_email, key.private_key, key.private_key_id);
    const good = await access.getRequestHeaders('https://compute.googleapis.com/');
    const r = await get(`/compute/v1/projects/${PROJECT}/zones`, {Authorization: good.get('authorization')});
    check(r.status === 200, `status ${r.status}`);
    const other = await access.getRequestHeaders('https://example.com/');
    const bad = await get(`/compute/v1/projects/${PROJECT}/zones`, {Authorization: other.get('authorization')});
    check(bad.status === 401, `a JWT for another audience got ${bad.status}`);
    const stranger = new JWTAccess('intruder@demo-project.iam.gserviceaccount.com', key.private_key);
    const forged = await stranger.getRequestHeaders('https://compute.googleapis.com/');
    const f = await get(`/compute/v1/projects/${PROJECT}/zones`, {Authorization: forged.get('authorization')});
    check(f.status === 401, `a JWT of an unknown account got ${f.status}`);
  });
  await step(GAL, 'access_token query parameter', async () => {
    const r = await get(`/compute/v1/projects/${PROJECT}/zones?access_token=${encodeURIComponent(token)}`);
    check(r.status === 200, `status ${r.status}`);
  });

  // ---- @google-cloud/compute over REST ----
  const GCC = '@google-cloud/compute';
  const opts = {fallback: true, apiEndpoint: '127.0.0.1', port, protocol: 'http', authClient: auth};
  const instances = new compute.InstancesClient(opts);
  const disks = new compute.DisksClient(opts);
  const snapshots = new compute.SnapshotsClient(opts);
  const zones = new compute.ZonesClient(opts);
  const globalOps = new compute.GlobalOperationsClient(opts);
  const zoneOps = new compute.ZoneOperationsClient(opts);
  const names = (items) => items.map((x) => x.name).sort().join(',');
  // Waits for a Compute operation with the client's operations wait call,
  // as the library's samples do; throws on an operation error.
  const awaitOp = async (lro) => {
    let op = lro.latestResponse;
    const scope = {project: PROJECT, operation: op.name};
    for (let i = 0; op.status !== 'DONE' && i < 20; i++) {
      [op] = op.zone ? await zoneOps.wait({...scope, zone: op.zone.split('/').pop()})
                     : await globalOps.wait(scope);
    }
    check(op.status === 'DONE', `operation ${op.name} is ${op.status}`);
    if (op.error) throw new Error(JSON.stringify(op.error));
    return op;
  };

  await step(GCC, 'zones and aggregated instances with the iterators', async () => {
    const zs = [];
    for await (const z of zones.listAsync({project: PROJECT, maxResults: 2})) zs.push(z.name);
    check(zs.length === 6, `zones ${zs}`);
    const all = [];
    for await (const [scope, list] of instances.aggregatedListAsync({project: PROJECT, maxResults: 2})) {
      for (const i of list.instances || []) all.push(`${scope}/${i.name}`);
    }
    check(all.length === 8 && all.includes('zones/us-central1-b/web-1'), `instances ${all}`);
    return `${zs.length} zones, ${all.length} instances over pages of 2`;
  });
  await step(GCC, 'disk pages of 1 and an AIP-160 filter with OR', async () => {
    const seen = [];
    for await (const d of disks.listAsync({project: PROJECT, zone: 'us-central1-b', maxResults: 1})) seen.push(d.name);
    check(seen.join(',') === 'shielded-1,spare-1,web-1,web-1-data,web-1-logs', `disks ${seen}`);
    const [hits] = await instances.list({project: PROJECT, zone: 'us-central1-a',
                                         filter: '(name = db-1) OR (name = backup-proxy)'});
    check(names(hits) === 'backup-proxy,db-1', `OR filter gave ${names(hits)}`);
    const [ssd] = await disks.list({project: PROJECT, zone: 'us-central1-b',
                                    filter: 'sizeGb >= 20 AND NOT labels.backup:*'});
    check(names(ssd) === 'shielded-1,web-1-data', `sizeGb filter gave ${names(ssd)}`);
  });
  await step(GCC, 'regular-expression filter of parenthesised terms', async () => {
    const [hits] = await disks.list({project: PROJECT, zone: 'us-central1-b',
                                     filter: '(name eq web-1.*) (name ne .*logs)'});
    check(names(hits) === 'web-1,web-1-data', `regex filter gave ${names(hits)}`);
  });

  let snapshotName = 'clients-snap';
  let restored = 'clients-restored';
  await step(GCC, 'snapshot of web-1-data (operation awaited)', async () => {
    const [op] = await disks.createSnapshot({project: PROJECT, zone: 'us-central1-b', disk: 'web-1-data',
                                             snapshotResource: {name: snapshotName, labels: {job: 'clients'}}});
    await awaitOp(op);
    const [s] = await snapshots.get({project: PROJECT, snapshot: snapshotName});
    check(['UPLOADING', 'READY'].includes(s.status), `snapshot ${s.status}`);
    for (let i = 0; i < 100 && (await snapshots.get({project: PROJECT, snapshot: snapshotName}))[0].status !== 'READY'; i++) {
      await new Promise((r) => setTimeout(r, 50));
    }
  });
  let restoredId;
  await step(GCC, 'disk from the snapshot, read by its numeric id', async () => {
    const [op] = await disks.insert({project: PROJECT, zone: 'us-central1-a',
                                     diskResource: {name: restored, sourceSnapshot: `global/snapshots/${snapshotName}`}});
    await awaitOp(op);
    const [d] = await disks.get({project: PROJECT, zone: 'us-central1-a', disk: restored});
    restoredId = String(d.id);
    const [byId] = await disks.get({project: PROJECT, zone: 'us-central1-a', disk: restoredId});
    check(byId.name === restored, `by id: ${byId.name}`);
    return `id ${restoredId}`;
  });
  await step(GCC, 'attach to backup-proxy (operation awaited)', async () => {
    const [op] = await instances.attachDisk({project: PROJECT, zone: 'us-central1-a', instance: 'backup-proxy',
                                             attachedDiskResource: {source: `zones/us-central1-a/disks/${restored}`}});
    await awaitOp(op);
    const [i] = await instances.get({project: PROJECT, zone: 'us-central1-a', instance: 'backup-proxy'});
    check(i.disks.some((d) => d.deviceName === restored), 'disk not attached');
  });
  await step(GCC, 'deleting the attached disk: 400 in use', async () => {
    const e = await failure(disks.delete({project: PROJECT, zone: 'us-central1-a', disk: restored}));
    check(e.code === 3 || e.code === 400, `code ${e.code}`);
    check(/already being used|resourceInUseByAnotherResource/.test(e.message + JSON.stringify(e.details || '')),
          e.message);
    return `code ${e.code}`;
  });
  await step(GCC, 'detach and delete disk and snapshot', async () => {
    let [op] = await instances.detachDisk({project: PROJECT, zone: 'us-central1-a', instance: 'backup-proxy',
                                           deviceName: restored});
    await awaitOp(op);
    [op] = await disks.delete({project: PROJECT, zone: 'us-central1-a', disk: restored});
    await awaitOp(op);
    [op] = await snapshots.delete({project: PROJECT, snapshot: snapshotName});
    await awaitOp(op);
    const e = await failure(disks.get({project: PROJECT, zone: 'us-central1-a', disk: restored}));
    check(e.code === 5 || e.code === 404, `code ${e.code}`);
  });
  await step(GCC, 'stop and start web-1', async () => {
    let [op] = await instances.stop({project: PROJECT, zone: 'us-central1-b', instance: 'web-1'});
    await awaitOp(op);
    const status = async () => (await instances.get({project: PROJECT, zone: 'us-central1-b', instance: 'web-1'}))[0].status;
    for (let i = 0; i < 100 && (await status()) !== 'TERMINATED'; i++) await new Promise((r) => setTimeout(r, 50));
    check((await status()) === 'TERMINATED', 'not stopped');
    [op] = await instances.start({project: PROJECT, zone: 'us-central1-b', instance: 'web-1'});
    await awaitOp(op);
    for (let i = 0; i < 100 && (await status()) !== 'RUNNING'; i++) await new Promise((r) => setTimeout(r, 50));
    check((await status()) === 'RUNNING', 'not running again');
  });
  await step(GCC, 'labels, then a stale fingerprint: 412', async () => {
    const [i] = await instances.get({project: PROJECT, zone: 'us-central1-b', instance: 'web-1'});
    const [op] = await instances.setLabels({project: PROJECT, zone: 'us-central1-b', instance: 'web-1',
                                            instancesSetLabelsRequestResource: {labels: {owner: 'clients'},
                                                                                labelFingerprint: i.labelFingerprint}});
    await awaitOp(op);
    const e = await failure(instances.setLabels({project: PROJECT, zone: 'us-central1-b', instance: 'web-1',
                                                 instancesSetLabelsRequestResource: {labels: {owner: 'x'},
                                                                                     labelFingerprint: i.labelFingerprint}}));
    check(e.code === 9 || e.code === 412, `code ${e.code}`);
    return `code ${e.code}`;
  });
  await step(GCC, 'errors: 404, 400 invalid name, 401', async () => {
    const nf = await failure(instances.get({project: PROJECT, zone: 'us-central1-b', instance: 'nope'}));
    check(nf.code === 5 || nf.code === 404, `404 gave code ${nf.code}`);
    const bad = await failure(disks.insert({project: PROJECT, zone: 'us-central1-b', diskResource: {name: 'Bad_Name', sizeGb: '1'}}));
    check(bad.code === 3 || bad.code === 400, `invalid name gave code ${bad.code}`);
    check(/Bad_Name/.test(bad.message), bad.message);
    const anon = new OAuth2Client();
    anon.setCredentials({access_token: 'ya29.not-a-token', expiry_date: Date.now() + 3600e3});
    const stranger = new compute.ZonesClient({...opts, authClient: anon});
    const un = await failure(stranger.list({project: PROJECT}));
    check(un.code === 16 || un.code === 401, `401 gave code ${un.code}`);
    return `codes ${nf.code}, ${bad.code}, ${un.code}`;
  });
  await step(GCC, 'aggregated operations', async () => {
    let count = 0;
    const scopesSeen = new Set();
    for await (const [scope, list] of globalOps.aggregatedListAsync({project: PROJECT})) {
      if ((list.operations || []).length) scopesSeen.add(scope);
      count += (list.operations || []).length;
    }
    check(count >= 8 && scopesSeen.has('global') && scopesSeen.has('zones/us-central1-a'),
          `${count} operations in ${[...scopesSeen]}`);
    return `${count} operations`;
  });

  // ---- @googleapis/compute (discovery) ----
  const GAC = '@googleapis/compute';
  const dc = discoveryCompute({version: 'v1', auth, rootUrl: `${base}/`});
  await step(GAC, 'instances.list with a filter, pages via pageToken', async () => {
    const got = [];
    let pageToken;
    do {
      const r = await dc.instances.list({project: PROJECT, zone: 'us-central1-a', maxResults: 1, pageToken,
                                         filter: 'status = RUNNING'});
      got.push(...(r.data.items || []).map((i) => i.name));
      pageToken = r.data.nextPageToken;
    } while (pageToken);
    check(got.join(',') === 'backup-proxy,db-1', `got ${got}`);
  });
  await step(GAC, 'partial response: fields=items(name,id),nextPageToken', async () => {
    const r = await dc.disks.list({project: PROJECT, zone: 'us-central1-b', maxResults: 2,
                                   fields: 'items(name,id),nextPageToken'});
    check(Object.keys(r.data).sort().join(',') === 'items,nextPageToken', `keys ${Object.keys(r.data)}`);
    check(r.data.items.every((d) => Object.keys(d).sort().join(',') === 'id,name'), JSON.stringify(r.data.items));
  });
  await step(GAC, 'disk by numeric id, wait on an operation', async () => {
    const d = (await dc.disks.get({project: PROJECT, zone: 'us-central1-b', disk: 'spare-1'})).data;
    const byId = (await dc.disks.get({project: PROJECT, zone: 'us-central1-b', disk: d.id})).data;
    check(byId.name === 'spare-1', byId.name);
    const op = (await dc.disks.setLabels({project: PROJECT, zone: 'us-central1-b', resource: d.id,
                                          requestBody: {labels: {tier: 'spare'}, labelFingerprint: d.labelFingerprint}})).data;
    const done = (await dc.zoneOperations.wait({project: PROJECT, zone: 'us-central1-b', operation: op.name})).data;
    check(done.status === 'DONE' && !done.error, JSON.stringify(done));
  });
  await step(GAC, 'errors: 404 and 400 as GaxiosError', async () => {
    const nf = await failure(dc.disks.get({project: PROJECT, zone: 'us-central1-b', disk: 'nope'}));
    const reason = nf.response && nf.response.data.error.errors[0].reason;
    check(nf.status === 404 && reason === 'notFound', `${nf.status} ${reason}`);
    const bad = await failure(dc.instances.list({project: PROJECT, zone: 'us-central1-b', filter: 'name = ('}));
    check(bad.status === 400, `bad filter gave ${bad.status}`);
  });

  // ---- @googleapis/storage ----
  const GAS = '@googleapis/storage';
  const st = discoveryStorage({version: 'v1', auth, rootUrl: `${base}/`});
  const bucket = 'clients-bucket-1';
  const payload = Buffer.from(Array.from({length: 70000}, (_, i) => i % 251));
  await step(GAS, 'bucket insert and get', async () => {
    await st.buckets.insert({project: PROJECT, requestBody: {name: bucket, location: 'US'}});
    const b = (await st.buckets.get({bucket})).data;
    check(b.name === bucket, b.name);
  });
  await step(GAS, 'object: multipart upload, read back, list, delete', async () => {
    const o = (await st.objects.insert({bucket, requestBody: {name: 'dir/config.json', metadata: {job: '7'}},
                                        media: {mimeType: 'application/json', body: '{"a":1}'}},
                                       {rootUrl: `${base}/`})).data;
    check(o.name === 'dir/config.json' && o.size === '7' && o.contentType === 'application/json',
          JSON.stringify(o));
    const back = await st.objects.get({bucket, object: 'dir/config.json', alt: 'media'}, {responseType: 'text'});
    check(back.data === '{"a":1}', `read back ${back.data}`);
    const meta = (await st.objects.get({bucket, object: 'dir/config.json'})).data;
    check(meta.metadata && meta.metadata.job === '7', JSON.stringify(meta.metadata));
    const list = (await st.objects.list({bucket, prefix: 'dir/'})).data;
    check(list.items.length === 1, JSON.stringify(list));
    await st.objects.delete({bucket, object: 'dir/config.json'});
  });
  await step(GAS, 'object: resumable upload in two chunks', async () => {
    const start = await auth.request({method: 'POST', url: `${base}/upload/storage/v1/b/${bucket}/o`,
                                      params: {uploadType: 'resumable', name: 'big.bin'},
                                      headers: {'X-Upload-Content-Type': 'application/octet-stream'},
                                      data: {metadata: {part: 'two'}}});
    const session = start.headers.get('location');
    check(session && session.startsWith(base), `Location ${session}`);
    const half = 65536;
    const first = await auth.request({method: 'PUT', url: session, data: payload.subarray(0, half),
                                      headers: {'Content-Range': `bytes 0-${half - 1}/${payload.length}`},
                                      validateStatus: (s) => s === 308});
    check(first.headers.get('range') === `bytes=0-${half - 1}`, `Range ${first.headers.get('range')}`);
    const last = await auth.request({method: 'PUT', url: session, data: payload.subarray(half),
                                     headers: {'Content-Range': `bytes ${half}-${payload.length - 1}/${payload.length}`}});
    check(last.data.size === String(payload.length), JSON.stringify(last.data));
    const back = await st.objects.get({bucket, object: 'big.bin', alt: 'media'}, {responseType: 'arraybuffer'});
    check(Buffer.from(back.data).equals(payload), 'bytes differ');
  });

  // ---- @google-cloud/kms (self-signed JWT, its default) ----
  const KMS = '@google-cloud/kms';
  const kms = new KeyManagementServiceClient({fallback: true, apiEndpoint: '127.0.0.1', port, protocol: 'http',
                                              credentials: {client_email: key.client_email, private_key: key.private_key}});
  await step(KMS, 'key rings and keys with the iterators (self-signed JWT)', async () => {
    const parent = `projects/${PROJECT}/locations/us-central1`;
    const rings = [];
    for await (const r of kms.listKeyRingsAsync({parent})) rings.push(r.name);
    check(rings.length === 1 && rings[0].endsWith('/keyRings/backup-ring'), `rings ${rings}`);
    const [ring] = await kms.getKeyRing({name: rings[0]});
    check(ring.name === rings[0], ring.name);
    const keys = [];
    for await (const k of kms.listCryptoKeysAsync({parent: rings[0], pageSize: 1})) keys.push(k);
    check(keys.map((k) => k.name.split('/').pop()).sort().join(',') === 'disk-key,hsm-key', 'keys');
    const [k] = await kms.getCryptoKey({name: keys[0].name});
    check(k.purpose === 'ENCRYPT_DECRYPT' && k.primary && k.primary.state === 'ENABLED', JSON.stringify(k.primary));
    // The client signed its own JWT rather than asking a token endpoint.
    const kmsCalls = recorded.filter((r) => r.url.startsWith('/v1/projects/'));
    check(kmsCalls.length >= 4 && kmsCalls.every((r) => /^Bearer eyJ[^.]*\.[^.]+\.[^.]+$/.test(r.auth)),
          'KMS calls without a self-signed JWT');
    return `${keys.length} keys, bearer = self-signed JWT`;
  });
  await step(KMS, 'missing key ring: NOT_FOUND', async () => {
    const e = await failure(kms.getKeyRing({name: `projects/${PROJECT}/locations/us-central1/keyRings/none`}));
    check(e.code === 5 || e.code === 404, `code ${e.code}`);
  });

  await step('all', 'every answer matches the client\'s message types', async () => {
    const {checked, problems} = checkRecorded(recorded);
    check(checked > 30, `only ${checked} answers checked`);
    check(problems.length === 0, problems.slice(0, 20).join('\n'));
    return `${checked} answers`;
  });
  instances.close();
  disks.close();
  snapshots.close();
  zones.close();
  globalOps.close();
  zoneOps.close();
  kms.close();
}

main().catch((e) => {
  console.error(e);
  process.exitCode = 1;
});
