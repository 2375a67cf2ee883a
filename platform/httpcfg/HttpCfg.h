// HttpCfg: httpcfg, the command-line tool that administers the HTTP Server API's service
// configuration with the verbs and argument forms of `netsh http`: URL reservations (urlacl),
// SSL certificate bindings (sslcert, by ipport= or hostnameport=), the API-wide time-outs
// (timeout) and the IP listen list (iplisten), plus `import cert` into the certificate store.
//
// It changes the records through the API (HttpSetServiceConfiguration and its siblings) and
// prints them in the shape `netsh http show` does.
#pragma once

#include <ostream>
#include <string>
#include <vector>

namespace httpcfg {

/// Exit status of a run.
inline constexpr int ExitOk = 0;
inline constexpr int ExitFailed = 1; // the operation failed (the reason is on the error stream)
inline constexpr int ExitUsage = 2;  // malformed command line; nothing was changed

/// Runs one command: Arguments without the program's name ("add", "urlacl", "url=...", ...).
/// Results go to Out; a failure is one line on Err ("httpcfg: ..."), and so are warnings about
/// damaged records of the store. Never throws.
int Run(const std::vector<std::string>& Arguments, std::ostream& Out, std::ostream& Err);

/// The --help text.
std::string Usage();

} // namespace httpcfg
