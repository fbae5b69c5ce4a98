// The play page: draws the state the server answers and sends the person's placements through its JSON API.
// The board is the server's SVG; an overlay of the same size takes the pointer and the keys and shows the
// chosen piece where it would go (filled when legal, dashed red when not) and dots where it fits. One cell,
// the cursor, says where the piece's handle is: the pointer sets it, and so do the arrow keys.
"use strict";

const $ = (id) => document.getElementById(id);
const SVG = "http://www.w3.org/2000/svg";
const RETRY_MS = 2000; // between tries while the server is unreachable
let config = null;   // shapes, colours, names: GET /api/config
let state = null;    // the game: GET /api/games/{id}
let gameId = null;
let selected = null; // {kind, orientation} of the piece in hand
let cursor = null;   // the board cell under the piece's handle, or null
let waiting = false; // a move is on its way: the others are playing
let retrying = null; // the timer of the next look at the game after a failure
let legalAt = new Map();  // "orientation:anchor" -> action index
let fits = new Map();     // orientation -> anchors where it is legal

// A fetch that failed for want of a server (stopped, restarting, or the network), not refused by it.
class Unreachable extends Error {}

// A refusal: the server's {"error": ...} with its status.
class Refusal extends Error {
  constructor(message, status) {
    super(message);
    this.status = status;
  }
}

async function api(path, options) {
  let response, body = null;
  try {
    response = await fetch(path, options);
    if ((response.headers.get("content-type") || "").includes("json")) body = await response.json();
  } catch (error) {
    throw new Unreachable("the server is unreachable");
  }
  if (!response.ok) throw new Refusal(body && body.error ? body.error : `${response.status} ${response.statusText}`,
    response.status);
  return body;
}

const sleep = (ms) => new Promise((resolve) => setTimeout(resolve, ms));

function element(name, attributes = {}, parent = null) {
  const node = document.createElementNS(SVG, name);
  for (const [key, value] of Object.entries(attributes)) node.setAttribute(key, value);
  if (parent) parent.appendChild(node);
  return node;
}

function say(text) {
  $("announce").textContent = text;
}

function marksQuery() {
  return $("marks").checked ? "?marks=1" : "";
}

// --- Shapes -----------------------------------------------------------------------------------------------------

function orientationsOf(kind) {
  return config.orientation_kinds.flatMap((k, o) => (k === kind ? [o] : []));
}

// The cell of a shape that follows the pointer: the one nearest the middle of its bounding box.
function handle(orientation) {
  const shape = config.shapes[orientation];
  const rows = Math.max(...shape.map((c) => c[0])), cols = Math.max(...shape.map((c) => c[1]));
  let best = shape[0], distance = Infinity;
  for (const cell of shape) {
    const d = (cell[0] - rows / 2) ** 2 + (cell[1] - cols / 2) ** 2;
    if (d < distance - 1e-9) { best = cell; distance = d; }
  }
  return best;
}

function cellsAt(orientation, anchor) {
  const n = config.size, row = Math.floor(anchor / n), col = anchor % n;
  return config.shapes[orientation].map(([r, c]) => [row + r, col + c]);
}

function markShape(agent, x, y, h, parent, fill) {
  if (agent === 0) return element("circle", { cx: x, cy: y, r: h, fill }, parent);
  if (agent === 1) return element("rect", { x: x - h, y: y - h, width: 2 * h, height: 2 * h, fill }, parent);
  if (agent === 2) {
    return element("path", { d: `M${x} ${y - 1.2 * h}L${x + 1.2 * h} ${y + h}L${x - 1.2 * h} ${y + h}Z`, fill }, parent);
  }
  return element("path", { d: `M${x} ${y - 1.3 * h}L${x + 1.3 * h} ${y}L${x} ${y + 1.3 * h}L${x - 1.3 * h} ${y}Z`, fill },
    parent);
}

function swatch(agent) {
  const span = document.createElement("span");
  span.className = "swatch";
  span.style.background = config.colours[agent];
  span.title = config.agent_names[agent];
  if ($("marks").checked) {
    const svg = element("svg", { viewBox: "0 0 10 10" }, span);
    markShape(agent, 5, 5, 2.2, svg, agent === 1 ? "#000" : "#fff");
  }
  return span;
}

function pieceIcon(orientation, colour) {
  const shape = config.shapes[orientation];
  const svg = element("svg", { viewBox: "-0.2 -0.2 5.4 5.4", "aria-hidden": "true" });
  const rows = Math.max(...shape.map((c) => c[0])) + 1, cols = Math.max(...shape.map((c) => c[1])) + 1;
  const dx = (5 - cols) / 2, dy = (5 - rows) / 2;
  for (const [r, c] of shape) {
    element("rect", { x: c + dx, y: r + dy, width: 1, height: 1, fill: colour, stroke: "#1d1f21", "stroke-width": 0.08 },
      svg);
  }
  return svg;
}

// --- The game ---------------------------------------------------------------------------------------------------

function gameUrl(suffix = "") {
  return `/api/games/${encodeURIComponent(gameId)}${suffix}`;
}

function unreachable() {
  const status = $("status");
  status.textContent = "The server is unreachable: trying again…";
  status.classList.add("unreachable");
  status.classList.remove("thinking");
  clearTimeout(retrying);
  retrying = setTimeout(refresh, RETRY_MS);
}

// Looks at the game again, and keeps looking while the others play or the server cannot be reached.
async function refresh() {
  clearTimeout(retrying);
  if (!gameId) return;
  let next;
  try {
    next = await api(gameUrl(marksQuery()));
  } catch (error) {
    if (error instanceof Unreachable) unreachable();
    else if (error.status === 404) gone(error.message);
    else {
      $("status").textContent = `The game cannot be shown now (${error.message}): trying again…`;
      retrying = setTimeout(refresh, RETRY_MS);
    }
    return;
  }
  $("status").classList.remove("unreachable");
  show(next);
  if (state.thinking !== null && !waiting) retrying = setTimeout(refresh, 300);  // others still playing: look again
}

// The game of the page's address is not on the server (another games folder, or its file was removed).
function gone(message) {
  const lost = gameId;
  gameId = null;
  state = null;
  selected = null;
  history.replaceState(null, "", location.pathname);
  setup();
  const note = $("setup-note");
  note.textContent = `The game ${lost} is not on this server any more (${message}): a server started with ` +
    "another games folder does not have it. Start a new game here.";
  note.hidden = false;
}

function show(next) {
  state = next;
  legalAt = new Map();
  fits = new Map();
  for (const [action, orientation, anchor] of state.placements) {
    legalAt.set(`${orientation}:${anchor}`, action);
    if (!fits.has(orientation)) fits.set(orientation, []);
    fits.get(orientation).push(anchor);
  }
  $("setup").hidden = true;
  $("play").hidden = false;
  $("board").innerHTML = state.board;
  const human = state.human, names = config.agent_names;
  const status = $("status");
  status.classList.toggle("thinking", state.thinking !== null);
  if (state.over) status.textContent = "Game over.";
  else if (state.thinking !== null) {
    status.textContent = `${names[state.thinking]} (${state.players[state.thinking]}) is thinking`;
  } else if (state.legal.length) status.textContent = `Your turn: you play ${names[human]}.`;
  else status.textContent = waiting ? "The others are playing" : "Waiting for the others";
  if (selected && !state.remaining[human].includes(config.kinds[selected.kind])) selected = null;
  showScores();
  showTray();
  showMoves();
  drawOverlay();
  showEnd();
}

function showScores() {
  const body = $("scores").querySelector("tbody");
  body.replaceChildren();
  for (let agent = 0; agent < 4; agent++) {
    const row = body.insertRow();
    row.dataset.agent = agent;
    if (!state.over && agent === state.agent) row.classList.add("to-move");
    if (state.done[agent]) row.classList.add("done");
    const name = row.insertCell();
    name.append(swatch(agent), config.agent_names[agent]);
    row.insertCell().textContent = state.players[agent] + (state.done[agent] && !state.over ? " (out)" : "");
    row.insertCell().textContent = state.scores[agent];
    row.insertCell().textContent = state.remaining[agent].length;
  }
}

function showTray() {
  const tray = $("tray");
  tray.replaceChildren();
  const colour = config.colours[state.human];
  const placeable = new Set([...fits.keys()].map((o) => config.orientation_kinds[o]));
  for (const name of state.remaining[state.human]) {
    const kind = config.kinds.indexOf(name);
    const chosen = selected && selected.kind === kind;
    const button = document.createElement("button");
    button.type = "button";
    button.dataset.kind = name;
    button.title = name;
    button.setAttribute("aria-label", `piece ${name}${placeable.has(kind) ? "" : ", fits nowhere"}`);
    button.setAttribute("aria-pressed", chosen ? "true" : "false");
    if (chosen) button.classList.add("selected");
    if (!placeable.has(kind)) button.classList.add("unplaceable");
    button.append(pieceIcon(chosen ? selected.orientation : orientationsOf(kind)[0], colour));
    // A click from the keyboard (Enter or Space: no pointer, detail 0) takes the piece to the board.
    button.onclick = (event) => choose(kind, event.detail === 0);
    tray.append(button);
  }
  $("controls").classList.toggle("waiting", waiting || !state.legal.length);
  const info = $("selection");
  if (selected) {
    const [r, c] = handle(selected.orientation);
    info.dataset.kind = config.kinds[selected.kind];
    info.dataset.orientation = selected.orientation;
    info.dataset.handle = `${r},${c}`;
    const count = (fits.get(selected.orientation) || []).length;
    info.textContent = `${config.kinds[selected.kind]}: fits in ${count} place${count === 1 ? "" : "s"} this way round` +
      " (R rotates, F flips).";
  } else {
    delete info.dataset.kind;
    delete info.dataset.orientation;
    delete info.dataset.handle;
    info.textContent = state.legal.length
      ? "Pick a piece, then a place on the board (dots: where it fits)."
      : state.over ? "" : "You have no move now.";
  }
}

function showMoves() {
  const list = $("moves");
  list.replaceChildren();
  for (const move of [...state.last].reverse()) {
    const item = document.createElement("li");
    item.append(swatch(move.agent), `${config.agent_names[move.agent]} (${state.players[move.agent]}) placed ${move.piece}`);
    list.append(item);
  }
}

function showEnd() {
  const end = $("end");
  end.hidden = !state.over;
  $("controls").hidden = state.over;
  if (!state.over) return;
  const body = $("final").querySelector("tbody");
  body.replaceChildren();
  const order = [0, 1, 2, 3].sort((a, b) => state.ranks[a] - state.ranks[b] || a - b);
  for (const agent of order) {
    const row = body.insertRow();
    row.insertCell().textContent = state.ranks[agent];
    row.insertCell().append(swatch(agent), config.agent_names[agent]);
    row.insertCell().textContent = state.players[agent];
    row.insertCell().textContent = state.scores[agent];
  }
  $("download-record").href = gameUrl("/record");
  $("download-replay").href = gameUrl("/replay.html");
}

// An error under the pieces; with `retry`, a Retry button that runs it.
function moveError(message, retry = null) {
  $("move-error").textContent = message;
  const button = $("retry");
  button.hidden = !retry;
  button.onclick = retry && (() => { button.hidden = true; retry(); });
}

// --- Choosing and placing ---------------------------------------------------------------------------------------

function choose(kind, fromKeyboard = false) {
  if (waiting) return;
  const orientations = orientationsOf(kind);
  const orientation = orientations.find((o) => fits.has(o)) ?? orientations[0];
  selected = { kind, orientation };
  moveError("");
  showTray();
  if (fromKeyboard) {
    cursor = startCell();
    $("overlay").focus();
  }
  drawOverlay();
  announce();
}

function turn(table) {
  if (!selected || waiting) return;
  selected.orientation = config[table][selected.orientation];
  showTray();
  drawOverlay();
  announce();
}

function putBack() {
  if (!selected) return;
  selected = null;
  showTray();
  drawOverlay();
  say("Piece put back.");
}

// Where the keys start: the handle of the piece in hand at its first legal place, else the board's middle.
function startCell() {
  const n = config.size;
  const anchors = selected ? fits.get(selected.orientation) || [] : [];
  if (!anchors.length) return (n / 2) * n + n / 2;
  const [hr, hc] = handle(selected.orientation);
  return anchors[0] + hr * n + hc;
}

function preview() {
  // The anchor that puts the piece's handle on the cursor, and whether it is legal there.
  if (!selected || cursor === null) return null;
  const n = config.size, [hr, hc] = handle(selected.orientation);
  const row = Math.floor(cursor / n) - hr, col = (cursor % n) - hc;
  const cells = config.shapes[selected.orientation].map(([r, c]) => [row + r, col + c]);
  const inside = row >= 0 && col >= 0 && cells.every(([r, c]) => r < n && c < n);
  const action = inside ? legalAt.get(`${selected.orientation}:${row * n + col}`) : undefined;
  return { cells, action };
}

// Tells a screen reader (and anyone reading the live region) the piece in hand, where it is and whether it fits.
function announce() {
  if (!selected) return;
  const name = config.kinds[selected.kind], ways = orientationsOf(selected.kind);
  const way = `way ${ways.indexOf(selected.orientation) + 1} of ${ways.length}`;
  const shown = preview();
  if (!shown) {
    const count = (fits.get(selected.orientation) || []).length;
    say(`${name} in hand, ${way}: fits in ${count} place${count === 1 ? "" : "s"}.`);
    return;
  }
  const n = config.size, row = Math.floor(cursor / n) + 1, col = (cursor % n) + 1;
  say(`${name}, ${way}, at row ${row}, column ${col}: ${shown.action !== undefined ? "fits" : "does not fit"}.`);
}

function drawOverlay() {
  const overlay = $("overlay");
  const { cell, margin, size } = config;
  const side = 2 * margin + size * cell;
  overlay.setAttribute("viewBox", `0 0 ${side} ${side}`);
  overlay.dataset.cursor = cursor === null ? "" : cursor;
  overlay.replaceChildren();
  if (selected && !waiting) {
    const dots = new Set();
    for (const anchor of fits.get(selected.orientation) || []) {
      for (const [r, c] of cellsAt(selected.orientation, anchor)) dots.add(r * size + c);
    }
    for (const d of dots) {
      element("circle", { class: "fit", cx: margin + (d % size + 0.5) * cell,
        cy: margin + (Math.floor(d / size) + 0.5) * cell, r: cell * 0.12 }, overlay);
    }
    const shown = preview();
    if (shown) {
      const legal = shown.action !== undefined;
      for (const [r, c] of shown.cells) {
        if (r < 0 || c < 0 || r >= size || c >= size) continue;
        element("rect", { class: legal ? "preview" : "preview bad", x: margin + c * cell, y: margin + r * cell,
          width: cell, height: cell, fill: config.colours[state.human], "fill-opacity": 0.85 }, overlay);
      }
    }
  }
  if (cursor !== null && document.activeElement === overlay) {
    element("rect", { class: "cursor", x: margin + (cursor % size) * cell + 1, y: margin + Math.floor(cursor / size) * cell + 1,
      width: cell - 2, height: cell - 2 }, overlay);
  }
}

// The board cell under a pointer event, from its position: the overlay is drawn once per state, so a press
// and a release on different cells still make one click, on the cell of the release.
function cellAt(event) {
  const { cell, margin, size } = config;
  const box = $("overlay").getBoundingClientRect();
  const side = 2 * margin + size * cell;
  const col = Math.floor(((event.clientX - box.left) / box.width * side - margin) / cell);
  const row = Math.floor(((event.clientY - box.top) / box.height * side - margin) / cell);
  return row >= 0 && col >= 0 && row < size && col < size ? row * size + col : null;
}

// The board's one pointer listener: moves set the cursor, a click places there, leaving clears it.
function pointer(event) {
  if (!config || !state) return;
  const at = event.type === "pointerleave" ? null : cellAt(event);
  if (event.type === "click") {
    if (at !== null) {
      cursor = at;
      place();
    }
  } else if (at !== cursor) {
    cursor = at;
    drawOverlay();
  }
}

const ARROWS = { ArrowUp: [-1, 0], ArrowDown: [1, 0], ArrowLeft: [0, -1], ArrowRight: [0, 1] };

function boardKey(event) {
  if (event.ctrlKey || event.metaKey || event.altKey || !state) return;
  const n = config.size;
  if (event.key in ARROWS) {
    event.preventDefault();
    if (cursor === null) cursor = startCell();
    else {
      const [dr, dc] = ARROWS[event.key];
      const row = Math.min(n - 1, Math.max(0, Math.floor(cursor / n) + dr));
      const col = Math.min(n - 1, Math.max(0, (cursor % n) + dc));
      cursor = row * n + col;
    }
    drawOverlay();
    announce();
  } else if (event.key === "Enter" || event.key === " ") {
    event.preventDefault();
    if (!selected) {
      say("No piece in hand: pick one from your pieces first.");
      return;
    }
    if (cursor === null) cursor = startCell();
    place();
  }
}

async function place() {
  const shown = preview();
  if (!shown || waiting || !state || !state.legal.length) return;
  if (shown.action === undefined) {
    const message = `${config.kinds[selected.kind]} does not fit there this way round.`;
    moveError(message);
    say(message);
    drawOverlay();
    return;
  }
  await sendMove(shown.action);
}

async function sendMove(action) {
  waiting = true;
  selected = null;
  moveError("");
  $("status").textContent = "Placing…";
  drawOverlay();
  const poll = setInterval(async () => {
    try { const next = await api(gameUrl(marksQuery())); if (waiting) show(next); } catch (e) { /* next time */ }
  }, 300);
  try {
    const next = await api(gameUrl(`/moves${marksQuery()}`), {
      method: "POST", headers: { "content-type": "application/json" }, body: JSON.stringify({ action }),
    });
    clearInterval(poll);
    waiting = false;
    show(next);
    say(`Placed. ${$("status").textContent}`);
  } catch (error) {
    clearInterval(poll);
    waiting = false;
    if (error instanceof Unreachable) {
      moveError("The server could not be reached: your move may not have been played.");
      unreachable();
      return;
    }
    // A player that failed (502) or a server with its hands full (503): the game is as it was, so the same
    // move may be sent again.
    moveError(error.message, error.status === 502 || error.status === 503 ? () => sendMove(action) : null);
    say(error.message);
    await refresh();
  }
}

// --- A new game -------------------------------------------------------------------------------------------------

function setup(players = null, seat = null) {
  $("setup").hidden = false;
  $("play").hidden = true;
  $("end").hidden = true;
  $("setup-note").hidden = true;
  $("setup-retry").hidden = true;
  $("status").classList.remove("thinking", "unreachable");
  $("status").textContent = "Choose your opponents and your seat.";
  const seatChoice = $("seat");
  seatChoice.replaceChildren();
  config.agent_names.forEach((name, agent) => seatChoice.add(new Option(`${agent}: ${name}`, agent)));
  seatChoice.value = seat ?? config.seat;
  const names = players ?? (config.against.length === 1 ? Array(3).fill(config.against[0]) : config.against);
  const list = document.createElement("datalist");
  list.id = "player-names";
  const searches = [200, 1000, config.max_simulations].filter((n) => n <= config.max_simulations);
  for (const name of new Set([...config.against, ...config.players, ...searches.map((n) => `mcts:${n}`)])) {
    list.append(new Option(name));
  }
  const box = $("opponents");
  box.replaceChildren(list);
  const label = () => {
    const others = [0, 1, 2, 3].filter((a) => a !== +seatChoice.value);
    box.querySelectorAll("label span").forEach((span, i) => { span.textContent = config.agent_names[others[i]]; });
  };
  for (let i = 0; i < 3; i++) {
    const field = document.createElement("label");
    field.append(document.createElement("span"), " ");
    const input = document.createElement("input");
    input.setAttribute("list", "player-names");
    input.className = "opponent";
    input.value = names[i];
    input.required = true;
    input.maxLength = 100;
    field.append(input);
    box.append(field);
  }
  seatChoice.onchange = label;
  label();
}

async function start(players, seat, seed) {
  $("setup-error").textContent = "";
  $("setup-retry").hidden = true;
  $("status").textContent = "Starting…";
  const body = { players, seat };
  if (seed !== null) body.seed = seed;
  try {
    const { id } = await api("/api/games", {
      method: "POST", headers: { "content-type": "application/json" }, body: JSON.stringify(body),
    });
    gameId = id;
    selected = null;
    history.pushState(null, "", `?game=${encodeURIComponent(id)}`);
    await refresh();
  } catch (error) {
    const note = $("setup-note").hidden ? null : $("setup-note").textContent;
    setup(players, seat);
    if (note) { $("setup-note").textContent = note; $("setup-note").hidden = false; }
    $("status").textContent = "The game did not start.";
    $("setup-error").textContent = error instanceof Unreachable ? "The server is unreachable." : error.message;
    // Nothing was started: the same request may be sent again.
    if (error instanceof Unreachable || error.status === 502 || error.status === 503) {
      const retry = $("setup-retry");
      retry.hidden = false;
      retry.onclick = () => start(players, seat, seed);
    }
  }
}

async function main() {
  for (;;) {
    try {
      config = await api("/api/config");
      break;
    } catch (error) {
      $("status").textContent = error instanceof Unreachable
        ? "The server is unreachable: trying again…" : `The server refused the page: ${error.message}`;
      $("status").classList.add("unreachable");
      await sleep(RETRY_MS);
    }
  }
  $("status").classList.remove("unreachable");
  $("marks").checked = localStorage.getItem("tegulo-marks") === "1";
  $("marks").onchange = () => {
    localStorage.setItem("tegulo-marks", $("marks").checked ? "1" : "0");
    if (gameId) refresh();
  };
  $("rotate").onclick = () => turn("rotated");
  $("flip").onclick = () => turn("flipped");
  const overlay = $("overlay");
  for (const type of ["pointermove", "pointerleave", "click"]) overlay.addEventListener(type, pointer);
  overlay.addEventListener("keydown", boardKey);
  overlay.addEventListener("focus", () => {
    if (selected && cursor === null) cursor = startCell();
    drawOverlay();
    announce();
  });
  overlay.addEventListener("blur", drawOverlay);
  document.addEventListener("keydown", (event) => {
    // R and F turn the piece, Escape puts it back, anywhere but in a text field; with Ctrl, Cmd or Alt held
    // a key is the browser's.
    if (event.ctrlKey || event.metaKey || event.altKey) return;
    if (["INPUT", "SELECT", "TEXTAREA"].includes(event.target.tagName)) return;
    const key = event.key.toLowerCase();
    if (key === "r") turn("rotated");
    else if (key === "f") turn("flipped");
    else if (event.key === "Escape") putBack();
  });
  $("setup-form").onsubmit = (event) => {
    event.preventDefault();
    const players = [...document.querySelectorAll("#opponents input")].map((input) => input.value.trim());
    const seed = $("seed").value === "" ? null : Number($("seed").value);
    start(players, Number($("seat").value), seed);
  };
  $("again").onclick = () => {
    const others = state.players.filter((_, agent) => agent !== state.human);
    gameId = null;
    history.pushState(null, "", location.pathname);
    setup(others, state.human);
  };
  window.addEventListener("popstate", () => location.reload());
  gameId = new URLSearchParams(location.search).get("game");
  if (gameId) await refresh();
  else setup();
}

main();
