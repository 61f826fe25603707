// Owners of the SDL handles that several subsystems make: each releases its handle with SDL's own call.
#pragma once

#include <SDL3/SDL_iostream.h>
#include <SDL3/SDL_render.h>
#include <SDL3/SDL_surface.h>

#include <memory>

struct SurfaceDeleter {
  void operator()(SDL_Surface* surface) const { SDL_DestroySurface(surface); }
};
using SurfaceHandle = std::unique_ptr<SDL_Surface, SurfaceDeleter>;

struct IoStreamCloser {
  void operator()(SDL_IOStream* stream) const { SDL_CloseIO(stream); }
};
using IoStreamHandle = std::unique_ptr<SDL_IOStream, IoStreamCloser>;

struct TextureDeleter {
  void operator()(SDL_Texture* texture) const { SDL_DestroyTexture(texture); }
};
using TextureHandle = std::unique_ptr<SDL_Texture, TextureDeleter>;

struct RendererDeleter {
  void operator()(SDL_Renderer* renderer) const { SDL_DestroyRenderer(renderer); }
};
using RendererHandle = std::unique_ptr<SDL_Renderer, RendererDeleter>;
