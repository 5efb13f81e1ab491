// Drives `larkspan mcp` the way an agent harness does: the official MCP TypeScript SDK's
// client, configured from the "mcpServers" block of the engine's own invitation, against the
// real broker and grant that the calling test set up. Everything is printed on standard
// output; the exit status is 0 when every check held.
//
// Environment: LARKSPAN (the engine), DATA (its data directory), SCOPE (the granted folder,
// holding notes.txt, image.bin, big.txt, linked.txt, pipe, docs/ and .ssh/id_ed25519), TOKEN (an
// edit grant's token).
import assert from 'node:assert/strict';
import { execFileSync } from 'node:child_process';
import { createHash } from 'node:crypto';
import { existsSync, readdirSync, readFileSync } from 'node:fs';

import { Client } from '@modelcontextprotocol/sdk/client/index.js';
import { StdioClientTransport } from '@modelcontextprotocol/sdk/client/stdio.js';

const { LARKSPAN, DATA, SCOPE, TOKEN } = process.env;
const seen = [];  // every result and every line the server wrote on standard error

function invitationServer() {
  const invitation = JSON.parse(execFileSync(LARKSPAN, ['--data', DATA, 'invite', '--json']));
  const text = invitation.text;
  const start = text.indexOf('{', text.indexOf('\nMCP: '));
  const block = JSON.parse(text.slice(start, text.indexOf('\n}\n', start) + 2));
  return block.mcpServers.tamber;
}

async function connect(server, { grant = TOKEN, extraArgs = [] } = {}) {
  const env = { ...server.env };
  if (grant === null) {
    delete env.TAMBER_GRANT;
  } else {
    env.TAMBER_GRANT = grant;
  }
  const transport = new StdioClientTransport({
    command: server.command,
    args: [...server.args, ...extraArgs],
    env,
    stderr: 'pipe',
  });
  transport.stderr.on('data', (chunk) => seen.push(chunk.toString()));
  const client = new Client({ name: 'tamber-sdk-test', version: '1.0.0' });
  await client.connect(transport);
  return client;
}

async function call(client, name, args) {
  const result = await client.callTool({ name, arguments: args });
  seen.push(JSON.stringify(result));
  return result;
}

async function refused(client, name, args, sentence) {
  const result = await call(client, name, args);
  assert.equal(result.isError, true, `${name} ${JSON.stringify(args)} must be refused`);
  assert.equal(result.content[0].text, sentence);
  assert.deepEqual(result.structuredContent, { ok: false, error: sentence });
}

async function protocolError(promise, code) {
  await assert.rejects(promise, (error) => error.code === code);
}

const sha256 = (bytes) => createHash('sha256').update(bytes).digest('hex');

async function main() {
  const server = invitationServer();
  assert.ok(server.command.startsWith('/'), 'the block names larkspan by its absolute path');

  // A full session: what a harness sees, and every kind of answer.
  const client = await connect(server);
  assert.equal(client.getServerVersion().name, 'tamber');
  assert.ok(client.getServerCapabilities().tools);
  assert.match(client.getInstructions(), /Nothing is ever deleted or overwritten/);

  const { tools } = await client.listTools();
  assert.deepEqual(tools.map((t) => t.name), ['stat', 'list', 'read', 'find', 'write_new',
    'mkdir', 'copy', 'move', 'replace', 'edit', 'inventory']);
  for (const tool of tools) {
    assert.ok(tool.title && tool.description.length > 60, tool.name);
    assert.equal(tool.inputSchema.additionalProperties, false, tool.name);
    assert.equal(tool.outputSchema.type, 'object', tool.name);
    assert.equal(tool.annotations.destructiveHint, false, tool.name);
    assert.equal(tool.annotations.openWorldHint, false, tool.name);
    const reads = ['stat', 'list', 'read', 'find', 'inventory'].includes(tool.name);
    assert.equal(tool.annotations.readOnlyHint, reads, tool.name);
  }

  const listed = await call(client, 'list', { path: SCOPE });
  assert.ok(listed.structuredContent.entries.includes('notes.txt'));

  const notes = readFileSync(`${SCOPE}/notes.txt`);
  const read = await call(client, 'read', { path: `${SCOPE}/notes.txt` });
  assert.equal(read.isError, false);
  assert.equal(read.content[0].text, notes.toString('utf8'), 'the text itself, no Base64');
  assert.equal(read.structuredContent.sha256, sha256(notes));
  assert.match(read.content[1].text, new RegExp(sha256(notes)));

  const image = await call(client, 'read', { path: `${SCOPE}/image.bin` });
  assert.match(image.content[0].text, /not UTF-8 text/);
  assert.ok(image.content[0].text.endsWith(readFileSync(`${SCOPE}/image.bin`).toString('base64')));

  const created = await call(client, 'write_new', { path: `${SCOPE}/summary.md`, text: '# Sum\n' });
  assert.equal(created.structuredContent.created, true);
  assert.equal(readFileSync(`${SCOPE}/summary.md`, 'utf8'), '# Sum\n');

  // Nothing is overwritten, secrets and second names stay out of reach, and a FIFO does not
  // hang the server: each refusal is the broker's own sentence.
  await refused(client, 'write_new', { path: `${SCOPE}/notes.txt`, text: 'gone?' }, 'File exists');
  assert.deepEqual(readFileSync(`${SCOPE}/notes.txt`), notes);
  await refused(client, 'read', { path: `${SCOPE}/.ssh/id_ed25519` },
    'Credential and agent-private paths cannot be delegated');
  await refused(client, 'read', { path: `${SCOPE}/linked.txt` },
    'Only regular, single-link files may be opened or changed');
  await refused(client, 'read', { path: `${SCOPE}/pipe` },
    'Only regular, single-link files may be opened or changed');
  await refused(client, 'read', { path: `${SCOPE}/big.txt` },
    'Content read is limited to 32 KiB; request metadata for larger files');
  await refused(client, 'read', { path: `${SCOPE}/../outside.txt` },
    'Absolute, non-traversing path required');
  // Arguments outside the schema never reach the broker; a token cannot be smuggled in.
  const smuggled = await call(client, 'read', { path: `${SCOPE}/notes.txt`, token: 'x' });
  assert.equal(smuggled.isError, true);
  await protocolError(call(client, 'delete', { path: `${SCOPE}/notes.txt` }), -32602);

  // The inventory needs no grant: any folder of the index, one at a time.
  execFileSync(LARKSPAN, ['--data', DATA, '--root', SCOPE, 'index']);
  const inventory = await call(client, 'inventory', { path: 'docs' });
  assert.equal(inventory.isError, false, JSON.stringify(inventory));
  assert.equal(inventory.structuredContent.path, `${SCOPE}/docs`);
  assert.ok(inventory.structuredContent.usage.allocated_bytes > 0);
  await refused(client, 'inventory', { path: 'nowhere' },
    `There is no folder "nowhere" in the inventory of ${SCOPE}.`);

  // Replace keeps the previous file beside the new one.
  const replaced = await call(client, 'replace',
    { path: `${SCOPE}/notes.txt`, text: 'new notes\n', expected_sha256: sha256(notes) });
  assert.equal(replaced.structuredContent.replaced, true);
  assert.deepEqual(readFileSync(replaced.structuredContent.backup_path), notes);
  assert.equal(readFileSync(`${SCOPE}/notes.txt`, 'utf8'), 'new notes\n');
  await client.close();

  // Read-only: the changing tools are neither listed nor callable.
  const viewer = await connect(server, { extraArgs: ['--read-only'] });
  const viewTools = (await viewer.listTools()).tools.map((t) => t.name);
  assert.deepEqual(viewTools, ['stat', 'list', 'read', 'find', 'inventory']);
  await protocolError(call(viewer, 'write_new', { path: `${SCOPE}/ro.txt`, text: 'x' }), -32602);
  assert.equal(existsSync(`${SCOPE}/ro.txt`), false);
  assert.equal((await call(viewer, 'stat', { path: SCOPE })).structuredContent.is_directory, true);
  await viewer.close();

  // Without a grant the agent is told what the user must do.
  const ungranted = await connect(server, { grant: null });
  const noGrant = await call(ungranted, 'stat', { path: SCOPE });
  assert.equal(noGrant.isError, true);
  assert.match(noGrant.content[0].text, /TAMBER_GRANT is not set/);
  await ungranted.close();

  // Without the app's broker, the agent is told to ask for it.
  const brokerless = await connect({ ...server, args: ['--data', `${DATA}-elsewhere`, 'mcp'] });
  const unreachable = await call(brokerless, 'read', { path: `${SCOPE}/notes.txt` });
  assert.equal(unreachable.isError, true);
  assert.match(unreachable.content[0].text, /Could not reach the Tamber broker.*open the Tamber app/);
  await brokerless.close();

  assert.ok(!seen.join('\n').includes(TOKEN), 'the token never comes back');
  assert.ok(readdirSync(SCOPE).some((name) => name.startsWith('.tamber-backup-')));
  console.log('MCP SDK client: all checks passed');
}

main().then(() => process.exit(0), (error) => {
  console.log(`MCP SDK client: ${error.stack ?? error}`);
  process.exit(1);
});
