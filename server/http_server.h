// The HTTP/1.1 server: start and stop, the polling threads that accept, read and answer
// requests without waiting on any client, the worker pool for requests with a body,
// authorisation, error answers and logs.
#pragma once

#include <memory>
#include <string>

#include "server/connection.h"

// Stops and frees a server.
void stop_server(HttpServer* server);
struct HttpServerStopper {
  void operator()(HttpServer* server) const;
};
using HttpServerPtr = std::unique_ptr<HttpServer, HttpServerStopper>;

// Starts a server. options holds name, value, name, value, … and ends with a null name; a
// null value is an error. Returns null on failure, with the logged reason in *error if given.
HttpServerPtr start_server(const HttpCallbacks* callbacks, const char* const* options,
                           std::string* error);

// Sets the listing order (8 characters) under the listing lock.
void set_listing_order(HttpServer* server, const char* order);
