// An SDL property set owned for the length of the one call that hands it to SDL.
#pragma once

#include <SDL3/SDL_properties.h>

class PropertySet {
 public:
  PropertySet() : id_(SDL_CreateProperties()) {}
  ~PropertySet() {
    if (id_ != 0) SDL_DestroyProperties(id_);
  }
  PropertySet(const PropertySet&) = delete;
  PropertySet& operator=(const PropertySet&) = delete;

  // 0 when SDL could not make the set.
  SDL_PropertiesID id() const { return id_; }

 private:
  SDL_PropertiesID id_;
};
