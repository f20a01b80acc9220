// The requesting page's origin, which the browser extension adds to every request it forwards as the
// member "callerOrigin". The host takes it only as the name of the calling site: for the PIN dialog's
// texts and the PIN token's binding.
#pragma once

#include <cstddef>
#include <string>

#include "json.h"

constexpr std::size_t CALLER_SITE_MAX_LENGTH = 300;

enum class CallerSite { Absent, Valid, Invalid };

// The request object's own (top-level) "callerOrigin", once, as a JSON string: an origin as a browser
// serialises it, scheme://host[:port] in lower-case ASCII (an internationalised name in its xn-- form,
// an IPv6 address in brackets; an empty host only for file), at most CALLER_SITE_MAX_LENGTH
// characters. Valid puts it in site. A member nested deeper is not the caller's and is ignored.
CallerSite read_caller_site(const json_message* message, std::string& site);
