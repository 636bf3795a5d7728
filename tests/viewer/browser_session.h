// Headless Chromium driven over its DevTools pipe (--remote-debugging-pipe): each page is opened
// in a new tab of a fixed size, left until the viewer's status element says ready (or error, or
// 20 s passed), then saved as a screenshot NAME.png and its DOM NAME.html. A url "js:EXPRESSION"
// runs the expression in the page opened last instead (a promise is awaited), then waits and
// saves the same way, and the expression's value as text in NAME.txt.
#pragma once

#include <string>
#include <vector>

struct PageVisit {
  std::string name;  // file names NAME.png and NAME.html
  std::string url;   // or "js:" and an expression for the page opened last
};

struct BrowseOptions {
  std::vector<std::string> browser_command;  // the browser and its flags
  std::string folder;                        // where the files and browser.log go
  int width = 640;
  int height = 480;
};

// Visits the pages in order with one browser; 0 when every page could be saved.
int browse(const BrowseOptions& options, const std::vector<PageVisit>& pages);
