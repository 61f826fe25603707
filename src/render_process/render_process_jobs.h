// What the render process does with one request: draws it and fills the reply, with the pixels to send when it
// drew (a few carried in the reply, more in a sealed memory file).
#pragma once

#include <cstdint>
#include <string_view>
#include <vector>

#include "platform/unique_fd.h"
#include "render_process/render_process_protocol.h"

struct ReplyPixels {
  std::vector<uint8_t> carried;
  UniqueFd file;
};

void runRequest(const RenderRequestRecord& request, std::string_view document, RenderReplyRecord& reply,
                ReplyPixels& pixels);
