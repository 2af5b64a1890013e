// Keeps the players list current without reloading the page. Every few
// seconds the page of the list being shown is fetched as compact JSON
// (PLAYERS_LIST.PLCMD, with the page's own search, sorting and page) and the
// rows' cells are brought up to date in place. Only when the rows themselves
// change (someone joined or left, or the order moved) is the page of rows
// fetched again as HTML (players_rows.html), never the whole page. While the
// operator is busy in the list (typing a message, choosing a channel) it
// waits, so that no input is lost. The pages are in the server's single-byte
// code page, so the answers are decoded as such.
(function () {
  var list = document.getElementById("players");
  var status = document.getElementById("players-status");
  if (!list || !window.fetch || !window.TextDecoder) return;
  var decoder = new TextDecoder("windows-1252");
  var query = window.location.search || "";
  var note = "the list updates itself every 5 seconds.";
  function busy() {
    var a = document.activeElement;
    return a && a !== document.body && list.contains(a) && a.tagName !== "BUTTON";
  }
  // The text of an answer, or null when the session ended and the page
  // itself follows to the login page, which says why.
  function load(url) {
    return fetch(url, {credentials: "same-origin", cache: "no-store", redirect: "manual"}).then(function (r) {
      if (r.type === "opaqueredirect") {
        window.location.reload();
        return null;
      }
      if (!r.ok) throw new Error("HTTP " + r.status);
      return r.arrayBuffer().then(function (body) { return decoder.decode(body); });
    });
  }
  function badge(cell, on, cls, word) {
    cell.textContent = "";
    if (!on) { cell.textContent = "no"; return; }
    var span = document.createElement("span");
    span.className = "badge " + cls;
    span.textContent = word;
    cell.appendChild(span);
  }
  function setText(row, cls, text) {
    var cell = row.querySelector("td." + cls);
    if (cell && cell.textContent !== text) cell.textContent = text;
  }
  // Whether the shown rows are those of the answer, in its order, with its counts.
  function sameRows(data, rows) {
    var count = document.getElementById("players-count");
    if (!count || rows.length !== data.rows.length) return false;
    if (count.getAttribute("data-online") !== String(data.online) ||
        count.getAttribute("data-matched") !== String(data.matched)) return false;
    for (var i = 0; i < rows.length; i++)
      if (rows[i].getAttribute("data-player") !== String(data.rows[i][0])) return false;
    return true;
  }
  function update(data, rows) {
    for (var i = 0; i < rows.length; i++) {
      var row = rows[i], d = data.rows[i];
      setText(row, "nick", d[1]);
      setText(row, "login", d[2]);
      setText(row, "channel", d[4]);
      badge(row.querySelector("td.talking"), d[5], "on", "talking");
      badge(row.querySelector("td.muted"), d[6], "warn", "muted");
      setText(row, "rights", d[7]);
      setText(row, "connected", d[8]);
      setText(row, "idle", d[9]);
      setText(row, "address", d[10]);
      var select = row.querySelector("select[name=channel]");
      if (select && select !== document.activeElement) select.value = String(d[3]);
    }
  }
  function done() {
    status.textContent = "Updated " + new Date().toLocaleTimeString() + "; " + note;
    list.setAttribute("data-updated", String(Date.now()));
  }
  function refresh() {
    if (busy()) return;
    load(list.getAttribute("data-list") + query)
      .then(function (text) {
        if (text === null) return null;
        var data;
        try { data = JSON.parse(text); } catch (e) { window.location.reload(); return null; }
        if (busy()) return null;
        var rows = list.querySelectorAll("#players-table tbody tr");
        if (sameRows(data, rows)) {
          update(data, rows);
          return done();
        }
        if (!data.online && list.querySelector("#no-players")) return done();
        return load(list.getAttribute("data-source") + query).then(function (html) {
          if (html === null) return;
          // Logged out or locked out: the login page comes instead of the rows.
          if (html.indexOf('id="players-count"') < 0 && html.indexOf('id="no-players"') < 0) {
            window.location.reload();
            return;
          }
          if (busy()) return;
          list.innerHTML = html;
          done();
        });
      })
      .catch(function (e) { status.textContent = "Could not update the list (" + e.message + "); trying again."; });
  }
  setInterval(refresh, 5000);
})();
