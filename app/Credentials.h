// Where the password for an SMTP login comes from, in this order:
//  1. the setting passwordcmd: a command run through /bin/sh -c (as other mail tools do); the
//     first line it prints is the password. A command that fails stops the send.
//  2. the netrc file ($NETRC, else ~/.netrc): the entry for the server host (and the user, when
//     the entry names one), else its "default" entry. A netrc file that other users can read or
//     write, or that belongs to someone else, is refused, as ftp and curl refuse it.
//  3. a prompt through the front-end (a password field in the window, the terminal without
//     echo in scripting mode).
// The password only ever lives in TSecret buffers; nothing here writes it anywhere.
#pragma once

#include <string>

#include "platform/Secret.h"

// False with the reason in problem when a source failed or none gave a password; the reason
// never holds the password.
bool ObtainPassword(const std::string& host, const std::string& user,
                    const std::string& passwordCommand, TSecret& password, std::string& problem);

// The first output line of command run through /bin/sh -c (the command's standard input and
// error are the program's). False with the reason when it cannot run, fails, or prints nothing.
bool PasswordFromCommand(const std::string& command, TSecret& password, std::string& problem);

enum class TNetrcResult { Found, NotFound, Refused };
// The netrc password for host and user. Refused (with the reason) for an unsafe file or one
// that cannot be read; NotFound when there is no file or no entry.
TNetrcResult PasswordFromNetrc(const std::string& host, const std::string& user, TSecret& password,
                               std::string& problem);
