// Programs that qz starts (io.popen, os.execute and system.exec, from the main state and from the worker)
// inherit only standard input, output and error, even while qz holds every kind of descriptor it opens: a
// download's connection, a database, a render process, the single-instance socket and lock, an X
// connection of its own for a clipboard read, a temporary file and a pipe to another program, or an image
// file that another thread is decoding.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <string>

#include "http_fixture.h"
#include "qz_sandbox.h"
#include "virtual_display.h"
#include "x_client.h"

namespace {

using qztest::RunOptions;
using qztest::RunResult;
using qztest::Sandbox;
using qztest::XClient;

// Lists the descriptors of the shell that runs the command, into the files named in "user/": the shell first
// moves its own output there for good ("exec >"), since one that redirects a single command keeps a copy of
// its output, and one that feeds a pipe holds that pipe while the listing runs. The worker's listings run
// while the main state waits in system.get_clipboard: once its owner has begun to send the text in pieces
// ("user/sending"), which it ends only once "user/listed" exists.
std::string listingBoot(const std::string& downloadUrl) {
  return std::string(qztest::kBootFileHelpers) + R"lua(
local LIST = "ls /proc/$$/fd"
local function await(name)
  local deadline = system.get_time() + 30
  while not exists(name) do
    assert(system.get_time() < deadline, "no " .. name)
    system.sleep(0.005)
  end
end
local function capture(command)
  local pipe = assert(io.popen(command))
  local output = pipe:read("a")
  pipe:close()
  return output
end

package.preload["core.workerboot"] = load("return { run = function() end }")
package.preload.listing = load([[
local user, list = ...
return { list = function(args)
  local user, list = args[1], args[2]
  local function exists(name)
    local file = io.open(user .. name)
    if file then file:close() end
    return file ~= nil
  end
  while not exists("sending") do system.sleep(0.005) end
  local pipe = assert(io.popen(list))
  local output = pipe:read("a")
  pipe:close()
  os.execute("exec > " .. user .. "worker-execute; " .. list)
  assert(io.open(user .. "listed", "w")):close()
  return output
end }
]])

return { run = function()
  local download = web.download()lua" +
         qztest::luaString(downloadUrl) + R"lua(, user .. "download")
  while download:progress() < 1 do system.sleep(0.005) end
  local database = assert(db.open(user .. "live.db"))
  assert(database:exec("create table t(x)"))
  put("image.svg", '<svg xmlns="http://www.w3.org/2000/svg" width="8" height="8"><rect width="8" height="8"/></svg>')
  assert(canvas.load_svg_image(user .. "image.svg", 8, 8))
  local scratch = assert(io.tmpfile())
  local held = assert(io.popen("cat", "w"))
  local job = assert(worker.submit("listing", "list", { user, LIST }))

  put("main-popen", capture(LIST))
  os.execute("exec > " .. user .. "main-execute; " .. LIST)
  system.exec("exec > " .. user .. "main-exec.tmp; " .. LIST .. "; mv " .. user .. "main-exec.tmp " .. user .. "main-exec")
  await("main-exec")
  local text, message = system.get_clipboard()
  put("clipboard", text and "read" or tostring(message))
  while not job:ready() do system.sleep(0.005) end
  held:close()
  scratch:close()
  put("worker-popen", assert(job:result()))
end }
)lua";
}

TEST(ChildDescriptors, ProgramsStartedWhileEveryServiceIsLiveInheritOnlyTheStandardStreams) {
  qztest::VirtualDisplay display;
  ASSERT_FALSE(display.name().empty()) << display.failure();
  qztest::HttpFixture http;
  Sandbox sandbox;
  sandbox.writeBoot(listingBoot(http.url("/bytes?n=600&chunk=1&delay=1000")));
  const std::string user = (sandbox.root() / "user").string();
  XClient owner(display.name(), {"own", "--chunk", "1", "--pause", "0.05", "--endless", "--sending-mark",
                                 user + "/sending", "--until", user + "/listed"});
  ASSERT_EQ(owner.line(), "owned");

  RunOptions options;  // the first instance: it serves later starts on its socket
  options.environment = {{"SDL_VIDEO_DRIVER", "x11"}, {"DISPLAY", display.name()}};
  options.timeout = std::chrono::seconds(60);
  const RunResult result = sandbox.run(options);
  EXPECT_EQ(result.exitCode, 0) << result.standardError;
  EXPECT_EQ(sandbox.readFile("user/clipboard"), "read") << "the worker listed while the clipboard was read";
  for (const char* listing : {"main-popen", "main-execute", "main-exec", "worker-popen", "worker-execute"}) {
    EXPECT_EQ(sandbox.readFile(std::string("user/") + listing), "0\n1\n2\n") << listing;
  }
}

// A 24-bit BMP of width x height pixels, all grey: large enough that decoding it keeps the file open a while.
std::string greyBitmap(uint32_t width, uint32_t height) {
  const uint32_t row = (width * 3 + 3) / 4 * 4;
  const uint32_t pixels = row * height;
  std::string file;
  const auto put = [&file](uint32_t value, int bytes) {
    for (int i = 0; i < bytes; ++i) file += static_cast<char>((value >> (8 * i)) & 0xff);
  };
  file += "BM";
  put(54 + pixels, 4);
  put(0, 4);
  put(54, 4);
  put(40, 4);
  put(width, 4);
  put(height, 4);
  put(1, 2);
  put(24, 2);
  put(0, 4);
  put(pixels, 4);
  put(2835, 4);
  put(2835, 4);
  put(0, 4);
  put(0, 4);
  file.append(pixels, static_cast<char>(0x80));
  return file;
}

// The main state decodes an image file over and over while the worker starts programs: none of them holds
// the image file, although another thread has it open most of the time.
TEST(ChildDescriptors, ProgramsStartedWhileAnImageIsDecodedDoNotHoldItsFile) {
  Sandbox sandbox;
  sandbox.writeFile("user/big.bmp", greyBitmap(2000, 2000));
  sandbox.writeBoot(R"lua(
package.preload["core.workerboot"] = load("return { run = function() end }")
package.preload.listing = load([[
return { list = function()
  local holding = 0
  for _ = 1, 200 do
    local pipe = assert(io.popen("ls /proc/$$/fd"))
    if pipe:read("a") ~= "0\n1\n2\n" then holding = holding + 1 end
    pipe:close()
  end
  return holding
end }
]])
return { run = function()
  local job = assert(worker.submit("listing", "list", {}))
  local decoded = 0
  while not job:ready() do
    assert(canvas.load_image(EXE_DIR .. "/user/big.bmp"))
    decoded = decoded + 1
  end
  print(decoded > 0, assert(job:result()))
end }
)lua");
  RunOptions options;
  options.args = {"--new-instance"};
  options.timeout = std::chrono::seconds(60);
  const RunResult result = sandbox.run(options);
  EXPECT_EQ(result.exitCode, 0) << result.standardError;
  EXPECT_EQ(result.standardOutput, "true\t0\n") << "programs that held more than the standard streams";
}

}  // namespace
