// The frames SDL's dummy video driver saves (SDL_VIDEO_DUMMY_SAVE_FRAMES):
// listing them in order and reading their pixels.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

struct SDL_Surface;

namespace hvx_test {

// The saved frames in dir ("SDL_window*.bmp"), oldest first.
std::vector<std::string> saved_frames(const std::string& dir);

// One saved frame as 32-bit pixels; s is none when it could not be read.
struct saved_frame {
    SDL_Surface* s = nullptr;
    explicit saved_frame(const std::string& path);
    ~saved_frame();
    saved_frame(const saved_frame&) = delete;
    saved_frame& operator=(const saved_frame&) = delete;
    uint32_t rgb(int x, int y) const;  // 0xRRGGBB
};

}  // namespace hvx_test
