// One native messaging manifest, examined as the browser that reads it would.
#pragma once

#include <string>

#include "doctor.h"

namespace Doctor {

// Chrome and Chromium list "allowed_origins"; Firefox lists "allowed_extensions".
enum class ManifestKind { Chrome, Firefox };

// The finding for the manifest at path: valid JSON, its name, its "path" (absolute, there,
// executable, answering GET_INFO as the browser would start it), its list of allowed extensions.
Finding CheckManifest(const std::string& browser, bool system, const std::string& path, ManifestKind kind);

// An extension id as each browser writes it in a manifest.
bool IsChromeOrigin(const std::string& origin);
bool IsFirefoxExtensionId(const std::string& id);

}  // namespace Doctor
