// Drives `larkspan mcp` with the official MCP TypeScript SDK's version 2 client, configured
// from the invitation's "mcpServers" block, in its three ways of choosing a protocol revision:
// by default (initialize), 'auto' (it probes with server/discover and must settle on
// 2026-07-28), and pinned to 2026-07-28; against the real broker and grant of the calling test,
// as sdk_client.mjs does (same environment; SCOPE holds notes.txt and .ssh/id_ed25519).
import assert from 'node:assert/strict';
import { execFileSync } from 'node:child_process';
import { readFileSync } from 'node:fs';

import { Client } from '@modelcontextprotocol/client';
import { StdioClientTransport } from '@modelcontextprotocol/client/stdio';

const { LARKSPAN, DATA, SCOPE, TOKEN } = process.env;
const seen = [];  // every result and every line the server wrote on standard error

function invitationServer() {
  const { text } = JSON.parse(execFileSync(LARKSPAN, ['--data', DATA, 'invite', '--json']));
  const start = text.indexOf('{', text.indexOf('\nMCP: '));
  return JSON.parse(text.slice(start, text.indexOf('\n}\n', start) + 2)).mcpServers.tamber;
}

const modes = [
  { name: 'default', options: {}, revision: '2025-11-25' },
  { name: 'auto', options: { versionNegotiation: { mode: 'auto' } }, revision: '2026-07-28' },
  { name: 'pinned', options: { versionNegotiation: { mode: { pin: '2026-07-28' } } },
    revision: '2026-07-28' },
];

async function session(server, mode) {
  const transport = new StdioClientTransport({ command: server.command, args: server.args,
    env: { ...server.env, TAMBER_GRANT: TOKEN }, stderr: 'pipe' });
  transport.stderr.on('data', (chunk) => seen.push(chunk.toString()));
  const client = new Client({ name: `tamber-v2-${mode.name}`, version: '1.0.0' }, mode.options);
  await client.connect(transport);
  assert.equal(client.getNegotiatedProtocolVersion(), mode.revision, mode.name);
  assert.equal(client.getServerVersion()?.name, 'tamber', mode.name);
  assert.match(client.getInstructions() ?? '', /Nothing is ever deleted or overwritten/);

  const call = async (name, args) => {
    const result = await client.callTool({ name, arguments: args });
    seen.push(JSON.stringify(result));
    return result;
  };
  const refused = async (name, args, sentence) => {
    const result = await call(name, args);
    assert.equal(result.isError, true, `${mode.name}: ${name} must be refused`);
    assert.equal(result.content[0].text, sentence);
    assert.deepEqual(result.structuredContent, { ok: false, error: sentence });
  };

  const { tools } = await client.listTools();
  assert.deepEqual(tools.map((t) => t.name), ['stat', 'list', 'read', 'find', 'write_new',
    'mkdir', 'copy', 'move', 'replace', 'edit', 'inventory']);

  const notes = readFileSync(`${SCOPE}/notes.txt`, 'utf8');
  const read = await call('read', { path: `${SCOPE}/notes.txt` });
  assert.equal(read.isError, false);
  assert.equal(read.content[0].text, notes);

  const line = `seen by ${mode.name}\n`;
  const first = notes.slice(0, notes.indexOf('\n') + 1);
  const edited = await call('edit', { path: `${SCOPE}/notes.txt`,
    edits: [{ old_text: first, new_text: first + line }] });
  assert.equal(edited.isError, false, JSON.stringify(edited));
  assert.match(edited.content[0].text, new RegExp(`\\n\\+${line}`));
  assert.equal(readFileSync(edited.structuredContent.backup_path, 'utf8'), notes);
  assert.ok(readFileSync(`${SCOPE}/notes.txt`, 'utf8').includes(line));

  await refused('write_new', { path: `${SCOPE}/notes.txt`, text: 'gone?' }, 'File exists');
  await refused('read', { path: `${SCOPE}/.ssh/id_ed25519` },
    'Credential and agent-private paths cannot be delegated');
  await client.close();
}

async function main() {
  for (const mode of modes) {
    await session(invitationServer(), mode);
  }
  assert.ok(!seen.join('\n').includes(TOKEN), 'the token never comes back');
}

main().then(() => process.exit(0), (error) => {
  console.log(`MCP v2 client: ${error.stack ?? error}`);
  process.exit(1);
});
