#include "tests/support/saved_frames.h"

#include <SDL.h>
#include <dirent.h>

#include <algorithm>

namespace hvx_test {

std::vector<std::string> saved_frames(const std::string& dir) {
    std::vector<std::string> out;
    if (DIR* d = opendir(dir.c_str())) {
        while (dirent* e = readdir(d)) {
            std::string n = e->d_name;
            if (n.rfind("SDL_window", 0) == 0 && n.size() > 4 && n.substr(n.size() - 4) == ".bmp") out.push_back(n);
        }
        closedir(d);
    }
    std::sort(out.begin(), out.end());
    return out;
}

saved_frame::saved_frame(const std::string& path) {
    SDL_Surface* raw = SDL_LoadBMP(path.c_str());
    if (raw) {
        s = SDL_ConvertSurfaceFormat(raw, SDL_PIXELFORMAT_ARGB8888, 0);
        SDL_FreeSurface(raw);
    }
}

saved_frame::~saved_frame() { SDL_FreeSurface(s); }

uint32_t saved_frame::rgb(int x, int y) const {
    return ((const uint32_t*)((const uint8_t*)s->pixels + (size_t)y * s->pitch))[x] & 0xFFFFFF;
}

}  // namespace hvx_test
