// Marks the navigation link of the page being shown (the body's data-page).
(function () {
  var page = document.body && document.body.getAttribute("data-page");
  var link = page && document.getElementById("nav-" + page);
  if (link) { link.setAttribute("aria-current", "page"); link.className += " current"; }
})();
// A page the browser restores for Back or Forward shows what it showed then,
// perhaps after a log-out: it is asked for again, and the server decides.
window.addEventListener("pageshow", function (event) {
  if (event.persisted) location.reload();
});
