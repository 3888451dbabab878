// The server-certificate step of the host check for pages served over HTTPS:
// the page's host is asked for its certificate, and the last line of the
// certificate's subject (its common name, as a subject is usually written)
// must occur in the page address.
#pragma once

#include <cstddef>
#include <string>

namespace ctrlkit {

// The server name: at most 260 bytes of 8-bit text and the NUL.
constexpr std::size_t SERVER_NAME_SIZE = 261;
constexpr std::size_t SERVER_NAME_MAX = SERVER_NAME_SIZE - 1;

// The server name from a certificate record's subject text (values one a
// line, joined by CR LF): the last non-empty line in the ANSI code page, cut
// to its first 260 bytes. An empty or missing subject gives "".
void serverNameFromSubject(const char16_t* subject, char serverName[SERVER_NAME_SIZE]);

// Asks the host of an HTTPS address (8-bit text in the ANSI code page) for
// its server certificate with a GET of the address, verified as the platform
// verifies it during the send, and leaves the server name in `serverName`
// (zeroed first). Returns 0 when every step went through, -1 when the
// address is not HTTPS, or else the error number of the first step that
// failed (splitting, session, connection, request, send, response, the
// certificate record), with no name. The record's strings are freed and
// every handle opened is closed, on every way out.
int GetServerCertSubject(const char* pageUrl, char serverName[SERVER_NAME_SIZE]);

// The step as the check runs it on an HTTPS page whose host is allowed: true
// when a server name was obtained and occurs in the page address
// (case-sensitive). Otherwise false, with *number the value for the
// "IsWebCtl >> error %d" text: the first failing step's error number, or 0
// when every step went through but the name is empty or not in the address.
bool serverNameInAddress(const std::u16string& pageAddress, int* number);

}  // namespace ctrlkit
