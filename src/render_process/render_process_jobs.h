// What the render process does with one request: draws it and fills the reply, with the pixels in a sealed
// memory file when it drew.
#pragma once

#include <string_view>

#include "platform/unique_fd.h"
#include "render_process/render_process_protocol.h"

void runRequest(const RenderRequestRecord& request, std::string_view document, RenderReplyRecord& reply,
                UniqueFd& pixels);
