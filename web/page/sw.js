"use strict";
// The page's service worker, for the one thing a page cannot always do by
// itself: show a notification (Android allows them only from a worker),
// and bring the page back when one is tapped. It caches nothing and
// answers no request: the page is always the server's own.
self.addEventListener("install", () => self.skipWaiting());
self.addEventListener("activate", (event) => event.waitUntil(self.clients.claim()));
self.addEventListener("notificationclick", (event) => {
  event.notification.close();
  const tab = event.notification.data && event.notification.data.tab;
  event.waitUntil(self.clients.matchAll({ type: "window", includeUncontrolled: true }).then((pages) => {
    const own = pages.filter((page) => new URL(page.url).pathname === "/");
    const page = own.find((p) => p.id === tab) || own[0];
    return page ? page.focus() : self.clients.openWindow("/");
  }));
});
