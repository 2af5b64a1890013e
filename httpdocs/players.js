// Keeps the players list current without reloading the page: every few
// seconds the list alone is fetched again (players_rows.html, the same rows
// the page was built with) and put in place. While the operator is busy in
// the list (typing a message, choosing a channel) it waits, so that no input
// is lost. The pages are in the server's single-byte code page, so the
// fragment is decoded as such.
(function () {
  var list = document.getElementById("players");
  var status = document.getElementById("players-status");
  if (!list || !window.fetch || !window.TextDecoder) return;
  var decoder = new TextDecoder("windows-1252");
  function busy() {
    var a = document.activeElement;
    return a && a !== document.body && list.contains(a) && a.tagName !== "BUTTON";
  }
  function refresh() {
    if (busy()) return;
    fetch(list.getAttribute("data-source"), {credentials: "same-origin", cache: "no-store", redirect: "manual"})
      .then(function (r) {
        // The session ended (rights changed, server stopped): the page itself
        // follows, so the login page it lands on can say why.
        if (r.type === "opaqueredirect") {
          window.location.reload();
          return null;
        }
        if (!r.ok) throw new Error("HTTP " + r.status);
        return r.arrayBuffer();
      })
      .then(function (body) {
        if (body === null) return;
        var html = decoder.decode(body);
        // Logged out or locked out: the login page comes instead of the rows.
        if (html.indexOf('id="players-table"') < 0 && html.indexOf('id="no-players"') < 0) {
          window.location.reload();
          return;
        }
        if (busy()) return;
        list.innerHTML = html;
        status.textContent = "Updated " + new Date().toLocaleTimeString() + "; the list updates itself every 5 seconds.";
        list.setAttribute("data-updated", String(Date.now()));
      })
      .catch(function (e) { status.textContent = "Could not update the list (" + e.message + "); trying again."; });
  }
  setInterval(refresh, 5000);
})();
