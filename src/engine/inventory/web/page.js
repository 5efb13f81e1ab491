// Keeps the inventory current and draws its picture: asks the engine every few seconds
// whether its state changed (an index run started or finished), shows a run's progress,
// swaps in the freshly rendered folder when a run has finished, and draws a treemap two levels
// deep of the folder's subfolders (each large one divided into its own largest subfolders)
// from the engine's JSON, on a canvas, with nothing from elsewhere. A click on any rectangle
// opens its folder.
'use strict';

(function () {
  const pollMilliseconds = 2000;
  const cells = 200;  // subfolders the picture shows at most, each with a cell of its own
  const innerCells = 24;  // of the largest of those, the subfolders shown inside each
  const header = 17;  // the strip that names a divided rectangle, in pixels
  const busyPollMilliseconds = 1000;
  const palette = ['#4f9a85', '#5b84b1', '#c07a4f', '#8c6bb1', '#b8a04a', '#4aa3b8',
    '#b15b7d', '#7a9a4f', '#6b7fb1', '#b1875b'];
  let shapes = [];  // what the treemap shows where: {x, y, w, h, item}

  function inventory() {
    return document.getElementById('inventory');
  }

  function folderLink(path) {
    return path === '' ? '/' : '/?path=' + path.split('/').map(encodeURIComponent).join('/');
  }

  // A name as people see it. The engine sends names as addresses, in which a byte that is not
  // UTF-8 is U+FFFD followed by its two hexadecimal digits, and U+FFFD itself is doubled; the
  // name shows the U+FFFD alone. Links keep the address, which names the folder exactly.
  function shownName(address) {
    return address.replace(/\uFFFD(\uFFFD|[0-9a-f]{2})/g, '\uFFFD');
  }

  function sizeText(bytes) {
    if (bytes < 1000) {
      return bytes + (bytes === 1 ? ' byte' : ' bytes');
    }
    const units = ['kB', 'MB', 'GB', 'TB', 'PB', 'EB'];
    let value = bytes / 1000;
    let unit = 0;
    while (value >= 999.95 && unit + 1 < units.length) {
      value /= 1000;
      unit += 1;
    }
    return value.toFixed(1) + ' ' + units[unit];
  }

  // Squarified treemap: items (sorted, largest first) in rows along the shorter side, each
  // row as close to square cells as it gets.
  function layout(items, x, y, w, h) {
    const total = items.reduce((sum, item) => sum + item.value, 0);
    const placed = [];
    if (total <= 0 || w <= 0 || h <= 0) {
      return placed;
    }
    const scale = (w * h) / total;
    let row = [];
    let rowArea = 0;
    function worst(cells, area, side) {
      let largest = 0;
      let smallest = Infinity;
      for (const cell of cells) {
        largest = Math.max(largest, cell.value * scale);
        smallest = Math.min(smallest, cell.value * scale);
      }
      const sideSquared = side * side;
      const areaSquared = area * area;
      return Math.max((sideSquared * largest) / areaSquared, areaSquared / (sideSquared * smallest));
    }
    function flush() {
      const side = Math.min(w, h);
      const thickness = rowArea / side;
      let offset = 0;
      for (const cell of row) {
        const length = (cell.value * scale) / thickness;
        if (w >= h) {
          placed.push({ x: x, y: y + offset, w: thickness, h: length, item: cell });
        } else {
          placed.push({ x: x + offset, y: y, w: length, h: thickness, item: cell });
        }
        offset += length;
      }
      if (w >= h) {
        x += thickness;
        w -= thickness;
      } else {
        y += thickness;
        h -= thickness;
      }
      row = [];
      rowArea = 0;
    }
    for (const item of items) {
      const side = Math.min(w, h);
      const area = item.value * scale;
      if (row.length === 0 || worst(row.concat([item]), rowArea + area, side) <=
          worst(row, rowArea, side)) {
        row.push(item);
        rowArea += area;
      } else {
        flush();
        row.push(item);
        rowArea = area;
      }
    }
    if (row.length > 0) {
      flush();
    }
    return placed;
  }

  function fitted(context, text, width) {
    if (context.measureText(text).width <= width) {
      return text;
    }
    let shown = text;
    while (shown.length > 1 && context.measureText(shown + '…').width > width) {
      shown = shown.slice(0, -1);
    }
    return shown.length > 1 ? shown + '…' : '';
  }

  // The colour of the cells inside a rectangle of colour '#rrggbb': alternately a little
  // lighter and a little darker, opaque, so that they read as parts of it.
  function shade(colour, place) {
    const towards = place % 2 === 0 ? 255 : 0;
    const share = place % 2 === 0 ? 0.18 : 0.12;
    let out = '#';
    for (let at = 1; at < 7; at += 2) {
      const channel = parseInt(colour.slice(at, at + 2), 16);
      out += Math.round(channel + (towards - channel) * share).toString(16).padStart(2, '0');
    }
    return out;
  }

  function fill(context, shape, colour) {
    context.fillStyle = colour;
    context.fillRect(shape.x, shape.y, shape.w, shape.h);
    context.strokeStyle = 'rgba(255, 255, 255, 0.9)';
    context.lineWidth = 1;
    context.strokeRect(shape.x + 0.5, shape.y + 0.5, shape.w - 1, shape.h - 1);
  }

  // The name, and the size below it, where they fit; in a divided rectangle's strip, both on
  // one line.
  function label(context, shape, divided) {
    if (shape.w <= 40 || shape.h <= 18) {
      return;
    }
    context.fillStyle = '#ffffff';
    const width = shape.w - 8;
    if (divided) {
      const text = shape.item.label + ' \u2014 ' + sizeText(shape.item.value);
      context.fillText(fitted(context, text, width), shape.x + 4, shape.y + 3);
      return;
    }
    context.fillText(fitted(context, shape.item.label, width), shape.x + 4, shape.y + 4);
    if (shape.h > 34) {
      context.fillText(fitted(context, sizeText(shape.item.value), width), shape.x + 4,
        shape.y + 19);
    }
  }

  // The cells of a subfolder's own largest subfolders inside its rectangle, below the strip
  // that names it; what they leave (its files and smaller folders) shows the subfolder itself.
  // None when the rectangle is too small to divide legibly.
  function innerShapes(shape) {
    const item = shape.item;
    if (!item.children || shape.w < 60 || shape.h < 2 * header + 12) {
      return [];
    }
    const parts = [];
    let placed = 0;
    for (const child of item.children) {
      if (child.allocated_bytes > 0) {
        parts.push({ value: child.allocated_bytes, label: shownName(child.name),
          link: item.link + '/' + child.name });
        placed += child.allocated_bytes;
      }
    }
    if (parts.length === 0) {
      return [];
    }
    // Shared space can make the parts add up to more than the whole, never the other way.
    const rest = Math.max(0, item.value - placed);
    if (rest > 0) {
      parts.push({ value: rest, rest: true });
    }
    parts.sort((a, b) => b.value - a.value);
    return layout(parts, shape.x + 2, shape.y + header, shape.w - 4, shape.h - header - 2)
      .filter((cell) => !cell.item.rest);
  }

  function draw(canvas, report, base) {
    const ratio = window.devicePixelRatio || 1;
    const width = canvas.clientWidth;
    const height = canvas.clientHeight;
    canvas.width = Math.round(width * ratio);
    canvas.height = Math.round(height * ratio);
    const context = canvas.getContext('2d');
    context.scale(ratio, ratio);
    context.clearRect(0, 0, width, height);

    // The largest parts get a cell each; the smallest (and those the report left out) share
    // one, so the picture stays legible.
    const whole = report.usage.allocated_bytes;
    const here = report.files_here.allocated_bytes;
    const items = [];
    let others = 0;
    let otherCount = report.child_count;
    for (const child of report.children) {
      if (child.allocated_bytes <= 0) {
        otherCount -= 1;
        continue;
      }
      if (child.allocated_bytes >= whole / 2000) {
        items.push({
          value: child.allocated_bytes, label: shownName(child.name),
          link: base === '' ? child.name : base + '/' + child.name, children: child.children,
        });
        otherCount -= 1;
      }
    }
    if (otherCount > 0) {
      // Whatever the cells and the folder's own files leave of the whole (shared space makes
      // the parts add up to a little more than the whole, never less).
      const placed = items.reduce((sum, item) => sum + item.value, 0);
      others = Math.max(0, whole - placed - here);
    }
    if (report.files_here.files > 0 && here > 0) {
      items.push({ value: here, label: 'Files directly here', link: null, muted: true });
    }
    if (others > 0) {
      items.push({ value: others, label: otherCount + ' smaller folders', link: null, muted: true });
    }
    items.sort((a, b) => b.value - a.value);
    context.font = '12px system-ui, sans-serif';
    context.textBaseline = 'top';
    // Each subfolder is drawn before the cells inside it, which are found first when pointed
    // at (the search runs from the end).
    shapes = [];
    layout(items, 0, 0, width, height).forEach(function (shape, index) {
      const colour = shape.item.muted ? '#9aa6a1' : palette[index % palette.length];
      fill(context, shape, colour);
      shapes.push(shape);
      const cells = shape.item.muted ? [] : innerShapes(shape);
      label(context, shape, cells.length > 0);
      cells.forEach(function (cell, place) {
        fill(context, cell, shade(colour, place));
        label(context, cell, false);
        shapes.push(cell);
      });
    });
    document.documentElement.dataset.treemapDrawn = String(Math.round(performance.now()));
  }

  function shapeAt(canvas, event) {
    const box = canvas.getBoundingClientRect();
    const x = event.clientX - box.left;
    const y = event.clientY - box.top;
    for (let i = shapes.length - 1; i >= 0; i -= 1) {
      const s = shapes[i];
      if (x >= s.x && x < s.x + s.w && y >= s.y && y < s.y + s.h) {
        return s;
      }
    }
    return undefined;
  }

  async function drawTreemap() {
    const main = inventory();
    const canvas = document.getElementById('treemap');
    if (!main || !canvas) {
      return;
    }
    const base = main.dataset.path || '';
    try {
      const response = await fetch('/api/folder?children=' + cells + '&inner=' + innerCells +
        '&path=' + encodeURIComponent(base), { cache: 'no-store' });
      if (response.ok) {
        draw(canvas, await response.json(), base);
      }
    } catch (error) {
      // The engine is restarting or gone; the table still shows the figures.
    }
  }

  function shownGeneration() {
    const main = inventory();
    return main ? main.dataset.generation : null;
  }

  async function refresh() {
    const response = await fetch(window.location.href, { cache: 'no-store' });
    const fresh = new DOMParser().parseFromString(await response.text(), 'text/html');
    const next = fresh.getElementById('inventory');
    const current = inventory();
    if (next && current) {
      current.replaceWith(document.adoptNode(next));
      drawTreemap();
    }
  }

  async function poll() {
    let busy = false;
    try {
      const response = await fetch('/api/status', { cache: 'no-store' });
      if (response.ok) {
        const status = await response.json();
        busy = status.indexing;
        if (String(status.generation) !== shownGeneration()) {
          await refresh();
        }
        const progress = document.getElementById('progress');
        if (progress && status.indexing) {
          progress.textContent = 'Scanning: ' + status.entries_seen.toLocaleString('en-US') +
            (status.entries_seen === 1 ? ' entry' : ' entries') + ' so far, ' +
            (status.indexing_ms / 1000).toFixed(1) + ' s.';
          progress.hidden = false;
        }
      }
    } catch (error) {
      // The engine is restarting or gone; try again at the next tick.
    }
    window.setTimeout(poll, busy ? busyPollMilliseconds : pollMilliseconds);
  }

  async function scanAgain(button) {
    button.disabled = true;
    try {
      await fetch('/api/scan', { method: 'POST', headers: { 'X-Tamber-Scan': '1' } });
    } catch (error) {
      button.disabled = false;
    }
  }

  document.addEventListener('click', function (event) {
    const button = event.target.closest('#scan-again');
    if (button && !button.disabled) {
      scanAgain(button);
      return;
    }
    if (event.target.id === 'treemap') {
      const shape = shapeAt(event.target, event);
      if (shape && shape.item.link !== null) {
        window.location.href = folderLink(shape.item.link);
      }
    }
  });

  document.addEventListener('mousemove', function (event) {
    if (event.target.id === 'treemap') {
      const shape = shapeAt(event.target, event);
      event.target.title = shape ? shape.item.label + ': ' + sizeText(shape.item.value) : '';
      event.target.classList.toggle('pointing', Boolean(shape && shape.item.link !== null));
    }
  });

  let resizeTimer = null;
  window.addEventListener('resize', function () {
    window.clearTimeout(resizeTimer);
    resizeTimer = window.setTimeout(drawTreemap, 150);
  });

  // The picture comes after the page's first paint: the figures are there at once.
  window.requestAnimationFrame(function () {
    window.setTimeout(drawTreemap, 0);
  });
  window.setTimeout(poll, busyPollMilliseconds);
})();
