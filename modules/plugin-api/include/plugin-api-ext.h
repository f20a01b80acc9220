// The pad and system command group: GET_PADS, COMPUTE_SIGNATURE_IMAGE, GET_SYSTEM_INFO.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "api_ctx.h"
#include "base64_bio.h"  // the images of the pad commands
#include "json.h"
#include "signing_device.h"

// True when cmd is one of the group's commands; the answer or its error is then in response.
// False leaves response untouched.
bool pad_command_group(api_ctx* ctx, json_message* message, const char* cmd, json_response* response);

// The pad commands against the pads of a given factory (the group uses every built-in pad family).
using PadFactoryMaker = std::function<std::shared_ptr<BioSigningDevice::ISigningDeviceFactory>()>;
void get_pads(api_ctx* ctx, json_response* response, const PadFactoryMaker& makeFactory);
void compute_signature_image(api_ctx* ctx, json_message* message, json_response* response,
                             const PadFactoryMaker& makeFactory);
