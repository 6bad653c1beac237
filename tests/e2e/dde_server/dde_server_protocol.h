// The messages by which a test drives the DDE server program (dde_server.cpp).
#pragma once

#include <windows.h>

// SendMessage(server, kCountMessage + counter, 0, 0) answers the count.
constexpr UINT kCountMessage = WM_APP + 16;
enum Counter { Connects, AdviseStarts, Requests, kCounterCount };
