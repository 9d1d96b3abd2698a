// What the posting run needs for TLS: the server argument with its port and
// scheme, the CA file named by KESTRUN_CA_FILE, and the reasons a TLS
// connection failed, said in Polish on standard error.
#pragma once

#include <cstdint>
#include <string>

#include "nntp/NntpServer.h"

class TNntpCli;

// The server argument parsed; a malformed one ends the run with a message
// naming it (exit code 1), before anything is sent.
TNntpServerName ServerArgument(const std::string& argument);
// Host, port, TLS and the CA file for the client. An unreadable
// KESTRUN_CA_FILE ends the run with a message naming the variable (exit 1).
void SetUpServer(TNntpCli& client, const TNntpServerName& server);
// Why TLS could not be set up with `host`, one line of program text; empty
// when `error` says nothing about TLS.
std::string TlsFailureText(std::uint16_t error, const std::string& host);
