// What the logs may show of a client's secrets: session ids only as a short tag, and never
// the values of Authorization or Cookie headers. Used by the worker's intake, lookup and
// data path and by the parent's tunnel handling before they compose a log line.
#pragma once

#include <string>
#include <string_view>

namespace tamblo::logging {

// "#" and the first 8 hex digits of the SHA-256 of the session id: the same session gives
// the same tag in every line, and the tag does not give the session back.
std::string sessionTag(std::string_view session);

// True for the header names whose values are never logged (case-insensitive).
bool isSecretHeader(std::string_view name);

// The text with every "JSESSIONID=<value>" turned into "JSESSIONID=<tag>" and the value of
// every Authorization, Proxy-Authorization and Cookie header line replaced by "<hidden>".
// For query strings, header values and whole request heads alike.
std::string redactSecrets(std::string_view text);

}  // namespace tamblo::logging
