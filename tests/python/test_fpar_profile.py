"""The demo's absorbed-PAR profile: layers, fPAR per layer, table and PNG."""
import math
import os
import sys

import numpy as np
import pytest

import vorn_gpu

sys.path.insert(0, os.path.join(os.path.dirname(__file__), "..", "..", "examples"))

from backward_scenes import add_surface, quad  # noqa: E402
from fpar_profile import format_profile, fpar_profile, plot_profile  # noqa: E402


def test_profile_puts_the_plate_in_the_top_layer_and_the_rest_on_the_ground(tmp_path):
    # Black ground and a black plate at 1 m over half of a 2 m periodic tile,
    # sun at the zenith.
    s = vorn_gpu.EmbreeSceneManager()
    s.add_material(0, 0)
    s.upload_spectral_params(np.array([0.0, 1.0], np.float32))
    add_surface(s, quad(0, 2, 0, 2), 0)
    add_surface(s, quad(0, 1, 0, 2, 1.0), 0)
    s.set_emitter(0, np.array([0.0, 0.0, 1.0]), 1)
    s.set_repetitive(4, 2.0, 2.0)
    s.build()
    n = 40_000
    p = fpar_profile(s, num_bands=1, num_layers=4, num_photons=n)
    np.testing.assert_allclose(p.layer_heights, [-1, 0.05, 0.2875, 0.525, 0.7625, 1.0],
                               rtol=1e-6)
    tol = 5 * math.sqrt(0.5 * 0.5 / n) + 1e-6  # binomial share of photons on the plate
    assert p.fpar[-1] == pytest.approx(0.5, abs=tol)
    assert p.fpar[0] == pytest.approx(0.5, abs=tol)
    assert p.fpar[1:-1].sum() == 0.0
    assert p.fpar.sum() == pytest.approx(1.0, abs=1e-6)  # black: nothing escapes
    assert "ground" in format_profile(p).splitlines()[-2]

    pytest.importorskip("matplotlib")
    ax = plot_profile(p, tmp_path / "fpar.png")
    assert (tmp_path / "fpar.png").read_bytes()[:8] == b"\x89PNG\r\n\x1a\n"
    assert "fPAR" in ax.get_xlabel() and ax.get_ylabel() == "height above ground (m)"
    assert ax.get_title() and [t.get_text() for t in ax.get_legend().get_texts()] == \
        ["canopy layer", "ground (below 0.05 m)"]
    # One bar per layer: its length the layer's fPAR, its extent the layer's heights.
    bars = sorted(ax.patches, key=lambda r: r.get_y())
    np.testing.assert_allclose([b.get_width() for b in bars], p.fpar)
    np.testing.assert_allclose([b.get_y() + b.get_height() for b in bars], p.layer_heights[1:])
