// The CPU scene seen through the plain view the shared transport loops read.
#pragma once

#include "core/scene_view.h"
#include "embree/scene_manager.h"

namespace vorn::embree {

/// What the transport loops read of the CPU scene; valid while the scene is
/// unchanged.
SceneView make_scene_view(const EmbreeSceneManager& scene);

}  // namespace vorn::embree
