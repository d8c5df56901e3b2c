"""EmbreeSceneManager from Python: what the bindings add to the scene itself
(whose queries, lifecycle and errors are tested in C++): mesh ids, optional
normals, the scaled add_instance overload and the counts."""
import numpy as np

import vorn_gpu


def test_meshes_instances_and_counts():
    s = vorn_gpu.EmbreeSceneManager()
    assert (s.is_built(), s.has_gpu_meshes(), s.num_instances(), s.max_height()) == (False, False, 0, 0)
    tube = vorn_gpu.make_cylinder(1.0, 2.0, 4)  # z in [0, 2], 8 triangles
    assert s.add_mesh(**tube) == 0  # one normal per vertex
    assert s.add_mesh(tube["vertices"], np.zeros((0, 3)), tube["indices"], material_id=1) == 1
    assert s.has_gpu_meshes() and s.total_triangles() == 0  # meshes alone count nothing
    assert s.add_instance(0, 1, 2, 3) == 0
    s.build()
    assert s.max_height() == 5.0
    s.update_instance_transform(0, np.array([1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1, -9]))
    assert s.add_instance(1, 1, 2, 3, 0.5) == 1  # scaled about the mesh origin, then moved
    assert s.max_height() == 5.0  # measured by build only
    s.build()
    assert s.max_height() == 4.0
    assert (s.num_instances(), s.total_triangles()) == (2, 16)
