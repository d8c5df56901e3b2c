// Docstrings of the Python API, one named constant per class, method and
// function, attached by the binding files. Texts the API has always carried
// (the GPU scene's per-primitive methods, the simulator's energy balance)
// stay word for word at the start of their entry.
//
// Conventions of every entry: positions and lengths in metres, angles as
// stated, arrays in NumPy (float arrays of any dtype are cast to float32,
// results are new C-contiguous arrays). Errors: RuntimeError with a message
// that starts with the method's name, ValueError for an array with the wrong
// number of dimensions, TypeError for arguments that match no signature,
// MemoryError naming what could not be allocated.
#pragma once

namespace vorn::py_bind::doc {

// ---- module ---------------------------------------------------------------

constexpr const char* kSetVerbose =
    "Turns the engines' diagnostic lines (\"Forward fPAR (CPU): ...\", \"LiDAR (CPU): ...\", "
    "\"[OptiX][...] ...\" and the like) on or off for the whole module. They are on by default "
    "and written to sys.stdout or sys.stderr, so contextlib.redirect_stdout, pytest and "
    "notebooks capture them.";
constexpr const char* kGetVerbose =
    "Whether the engines' diagnostic lines are printed (see set_verbose).";

// ---- integer codes ----------------------------------------------------------

constexpr const char* kMaterialType =
    "Material types of add_material (plain ints are accepted as well). Each reads "
    "per-band quantities from the spectral array, quantity q of band b at "
    "offset + q * num_bands + b. Any other code is a black surface.";
constexpr const char* kMaterialLambertian = "Lambertian surface; 1 quantity: reflectance "
                                            "(emissivity in thermal mode).";
constexpr const char* kMaterialRpv = "RPV bidirectional reflectance; 4 quantities: rho0, k, "
                                     "Theta, rho_c.";
constexpr const char* kMaterialLeaf = "Leaf, two-sided; 3 quantities: front reflectance, back "
                                      "reflectance, transmittance.";
constexpr const char* kSensorType =
    "Sensor types of set_sensor (plain ints are accepted as well).";
constexpr const char* kSensorOrthographic =
    "Parallel rays along the camera's -z over an ortho_w x ortho_h footprint (m).";
constexpr const char* kSensorPerspective =
    "Pinhole camera at the camera position; fov is the full vertical field of view.";
constexpr const char* kSensorFisheye =
    "Fisheye camera; projection_type maps the image radius to the zenith angle, fov is the "
    "full field of view of the image circle.";
constexpr const char* kProjectionType =
    "Fisheye mappings of set_sensor's projection_type (plain ints are accepted as well).";
constexpr const char* kProjectionEquisolid = "Equal-area: r = sin(theta / 2) / (2 sin(fov / 4)).";
constexpr const char* kProjectionEquidistant = "Equidistant: r = theta / fov.";
constexpr const char* kProjectionOrthographic = "Orthographic: r = sin(theta) / (2 sin(fov / 2)).";
constexpr const char* kProjectionStereographic =
    "Stereographic: r = tan(theta / 2) / (2 tan(fov / 4)).";
constexpr const char* kEmitterType =
    "Emitter types of set_emitter (plain ints are accepted as well).";
constexpr const char* kEmitterSun = "The sun: a distant directional source.";

// ---- mesh generators ---------------------------------------------------------

constexpr const char* kMakeGroundPlane =
    "A rectangle in the plane z = 0 facing +z: corners (+-half_w, +-half_h, 0) m. Returns a "
    "dict of \"vertices\" (4, 3) float32, \"normals\" (4, 3) float32 (0, 0, 1) and "
    "\"indices\" (2, 3) int32, ready for add_mesh(**mesh). material_id is accepted and "
    "ignored (add_mesh takes the material). Raises RuntimeError for non-finite sizes.";
constexpr const char* kMakeSphere =
    "An icosphere of `radius` (m) around `center` (3 values, m): an icosahedron whose "
    "faces are split into four `subdivisions` times (negative: 0), with unit outward "
    "normals. Returns a dict of \"vertices\" (N, 3) float32, \"normals\" (N, 3) float32 and "
    "\"indices\" (T, 3) int32 with T = 20 * 4**subdivisions, N = 12 + 20 * (4**s - 1) "
    "(midpoints are not shared). Raises ValueError for a center that is not 1-D, "
    "RuntimeError for fewer than 3 center values or non-finite values.";
constexpr const char* kMakeCylinder =
    "An open tube (no end caps) of `radius` (m) around the z axis from z = 0 to `height` "
    "(m), `segments` columns round, with radial unit normals. Returns a dict of "
    "\"vertices\" (2 * (segments + 1), 3) float32, \"normals\" of the same shape and "
    "\"indices\" (2 * segments, 3) int32; no rows for segments < 0. Raises RuntimeError "
    "for non-finite values.";

// ---- scene classes -------------------------------------------------------------

constexpr const char* kEmbreeSceneManager =
    "The CPU scene (Embree): triangle meshes placed as instances, materials over one flat "
    "spectral array, the sun, a sky, a sensor, a periodic tile and thermal settings. Build "
    "it with build() before simulating; adding meshes or instances afterwards marks it not "
    "built. While a simulation runs on it, every method that changes it raises "
    "RuntimeError (\"<method>: scene is in use by a running simulation\").";
constexpr const char* kEmbreeSceneManagerInit = "An empty scene with one band.";
constexpr const char* kSceneManager =
    "The GPU scene on an OptiXContext: the methods of EmbreeSceneManager, plus spectral "
    "patches on the device and per-primitive temperatures, emissivities and SIF spectra. "
    "Geometry, materials and emitter reach the device at build().";
constexpr const char* kSceneManagerInit =
    "A scene on `context` (positional), which the scene keeps alive. Raises RuntimeError "
    "when the module has no GPU backend.";

constexpr const char* kAddMesh =
    "Adds a triangle mesh in object space and returns its mesh id (int, counting from 0).\n\n"
    "vertices: (N, 3) positions (m). normals: (N, 3) unit per-vertex shading normals, or "
    "(0, 3) for none (flat shading). indices: (T, 3) int32 triangles, 0-based into "
    "vertices; float or wider integer arrays are accepted when every value is a whole "
    "number within int32. material_id: a material id of add_material. A built scene is "
    "marked not built.\n\nRaises ValueError for arrays that are not 2-D; RuntimeError for "
    "other than 3 columns, fractional indices, non-finite coordinates or coordinates "
    "beyond +-1e9 m. build() checks the index range and the normal count.";
constexpr const char* kAddInstance =
    "Places mesh `mesh_id` scaled by `scale` and moved by (x, y, z) (m); returns the "
    "instance id (int, counting from 0). A built scene is marked not built. Raises "
    "RuntimeError for non-finite values or values beyond +-1e9; build() refuses a mesh id "
    "that does not exist and a singular transform (scale 0).";
constexpr const char* kAddInstanceXform =
    "Places mesh `mesh_id` with `xform`, a 3 x 4 row-major object-to-world transform (the "
    "first 12 values of a 1-D array); returns the instance id. A built scene is marked not "
    "built. Raises ValueError for a 2-D xform, RuntimeError for fewer than 12 values or "
    "entries that are not finite or beyond +-1e9; build() refuses singular transforms.";
constexpr const char* kUpdateInstanceTransform =
    "Replaces the transform of instance `id` with `xform` (12 values, 3 x 4 row-major). "
    "On a built scene the instance moves at the next refit_ias(). Raises RuntimeError for "
    "an unknown id, fewer than 12 values, entries that are not finite or beyond +-1e9, and "
    "a transform rays cannot be traced through (singular).";
constexpr const char* kRefitIas =
    "Updates the built scene's top level to the instances' current transforms (after "
    "update_instance_transform). Raises RuntimeError when the scene is not built.";
constexpr const char* kSetNumBands =
    "Sets the band count: values per quantity in the spectral array and bands of every "
    "result. Raises RuntimeError for a negative count (simulations need at least 1).";
constexpr const char* kAddMaterial =
    "Adds a material and returns its id (int, counting from 0).\n\n"
    "type: a MaterialType (LAMBERTIAN 0, RPV 1, LEAF 13); any other code is a black "
    "surface, which neither reflects nor transmits (in thermal mode it emits, with the "
    "emissivity at offset). offset: start of its quantities in the spectral array, "
    "quantity q of band b at offset + q * num_bands + b. "
    "scalar_params: a list of up to 8 numbers stored as params[0..7] (later items are "
    "ignored): [0], [1] leaf reflection / transmission sampling weights, [2] uniform, [3] "
    "sunlit and [4] shaded temperature (K, thermal mode), [5] long-wave emissivity of the "
    "energy balance (used when in (0, 1]).\n\nRaises RuntimeError for an item that is not "
    "a finite number (the material and the items before it are kept); TypeError when "
    "scalar_params is not a list.";
constexpr const char* kUploadSpectralParams =
    "Replaces the spectral array with `values` (1-D, float32): reflectances, "
    "transmittances, sun irradiance (W m^-2 per band unit), sky radiance (W m^-2 sr^-1 per "
    "band unit) and sky coefficients, at the offsets given to add_material, set_emitter, "
    "set_sky and set_hw_sky. Raises ValueError when not 1-D, RuntimeError for non-finite "
    "values.";
constexpr const char* kUpdateSpectralParams =
    "Overwrites len(values) entries of the spectral array from `offset`, on the host and "
    "the device. Raises RuntimeError when the range lies outside the array or a value is "
    "not finite.";
constexpr const char* kSetEmitter =
    "Sets the sun. type: an EmitterType (SUN 0). direction: 3 values, from the scene "
    "towards the sun (any length; stored normalised). spectral_offset: start of its "
    "num_bands irradiance values (W m^-2 per band unit, normal to the sun) in the spectral "
    "array. Raises RuntimeError for a zero or non-finite direction or fewer than 3 values.";
constexpr const char* kUpdateEmitterDirection =
    "Moves the sun to `direction` (3 values towards the sun, stored normalised). Raises "
    "RuntimeError for a zero or non-finite direction.";
constexpr const char* kSetSensor =
    "Sets the camera of simulate_cpu and Simulator.simulate.\n\n"
    "type: a SensorType (ORTHOGRAPHIC 0, PERSPECTIVE 1, FISHEYE 4). width, height: image "
    "size in pixels (results have shape (height, width, bands)). ortho_w, ortho_h: "
    "footprint of an orthographic camera (m). cam_xform: camera-to-world matrix, row-major, "
    "as 12 to 16 values or a 3 x 4 or 4 x 4 array; its columns are the camera x, y, z axes "
    "and the position, the camera looks along -z (missing values are 0). fov: full field "
    "of view in degrees (perspective: vertical; fisheye: the image circle). "
    "projection_type: a ProjectionType (fisheye). terrain_following: orthographic rays "
    "start above the terrain under each pixel.\n\nRaises ValueError for a cam_xform of more "
    "than 2 dimensions; RuntimeError for unknown type or projection codes, negative sizes "
    "or more than 2^31 - 1 pixels, other than 12 to 16 camera values (or another matrix "
    "shape), non-finite values or values beyond +-1e9.";
constexpr const char* kSetSky =
    "Sets a uniform sky whose num_bands radiances (W m^-2 sr^-1 per band unit) start at "
    "`spectral_offset` of the spectral array; a negative offset turns it off.";
constexpr const char* kSetHwSky =
    "Sets the parametric sky: per band ten values from `spectral_offset`, the gradation "
    "coefficients A..I and the zenith radiance (W m^-2 sr^-1 per band unit), with the "
    "model's sun towards (sun_x, sun_y, sun_z) (stored normalised). It takes precedence "
    "over set_sky; a negative offset turns it off. Raises RuntimeError for a zero or "
    "non-finite sun while on.";
constexpr const char* kSetThermalMode =
    "Turns thermal mode on or off: surfaces emit Planck radiation at their temperature "
    "(params[2..4] of add_material) in bands whose centres are `wavelengths` (a list, nm, "
    "one per band). Raises RuntimeError for a wavelength that is not finite and positive, "
    "TypeError when wavelengths is not a list.";
constexpr const char* kSetRepetitive =
    "Repeats the scene as a periodic tile 0 <= x <= scene_x_size, 0 <= y <= scene_y_size "
    "(m): a ray leaving it through a side re-enters through the opposite side, at most "
    "num_repetitions times. Active when num_repetitions >= 1 and both sizes > 0. Raises "
    "RuntimeError for sizes that are not finite or beyond +-1e9.";
constexpr const char* kBuild =
    "Builds the acceleration structures from the meshes and instances and measures "
    "max_height. Raises RuntimeError for an instance of a missing mesh, a transform that "
    "cannot be inverted, an index outside its mesh's vertices, or normals neither absent "
    "nor one per vertex; the scene is then left as it was.";
constexpr const char* kIsBuilt =
    "Whether the scene is built and unchanged in its geometry since (bool).";
constexpr const char* kHasGpuMeshes =
    "Whether the scene holds meshes (bool); on the GPU scene, device meshes, which exist "
    "after build().";
constexpr const char* kClearForReuse =
    "Forgets materials, spectral values, sky and emitter; geometry, sensor, band count, "
    "tile and thermal settings stay, and so does the built state. Set them anew and call "
    "build_reuse_gas().";
constexpr const char* kBuildReuseGas =
    "Marks the scene built again after clear_for_reuse, keeping the acceleration "
    "structures of the last build. Raises RuntimeError when there are none.";
constexpr const char* kTotalTriangles =
    "Triangles over all instances (int; a mesh without instances counts nothing).";
constexpr const char* kNumInstances = "Instances added (int).";
constexpr const char* kMaxHeight =
    "Highest world z of the scene at the last build (m, float, at least 0).";
constexpr const char* kSetMeasurementPlane =
    "Sets the height (m) of the plane above which the forward photon tracer starts its "
    "photons (0.1 m above it). Raises RuntimeError for a value that is not finite or beyond "
    "+-1e9.";

// ---- GPU scene only (the first sentences are the API's historic texts) -----------

constexpr const char* kNPrimitives = "Total triangle count across all instances (after build).";
constexpr const char* kGetPrimitiveAreas = "Return per-primitive areas (m\u00b2) as a numpy array.";
constexpr const char* kGetPrimitiveMatIds = "Return per-primitive material IDs as a numpy array.";
constexpr const char* kSetPrimitiveTemperatures =
    "Upload per-primitive temperatures (K). Length must equal n_primitives(). Closesthit thermal "
    "mode reads these in preference to mat.params[2..4] when set.";
constexpr const char* kClearPrimitiveTemperatures =
    "Clear the per-primitive temperature override (kernel reverts to mat.params[2..4]).";
constexpr const char* kGetPrimitiveTemperatures =
    "Return host-side per-primitive temperatures (mostly for testing).";
constexpr const char* kSetPrimitiveEmissivities =
    "Upload per-primitive longwave emissivities. Length must equal n_primitives(). Used by the EB "
    "reverse-RT kernel for \u03b5 in the Lambertian emission term \u03b5 \u03c3 T\u2074 / \u03c0.";
constexpr const char* kClearPrimitiveEmissivities = "Clear the per-primitive emissivity override.";
constexpr const char* kSetPrimitiveSifSpectra =
    "Upload per-primitive SIF emission spectra. spectra: float32[n_sif_bands * n_primitives] SoA "
    "(band-major). After upload, the backward kernel emits SIF from each hit primitive. "
    "Values are the SIF leaving the emitting face as isotropic radiance, in the image's "
    "units (e.g. W m^-2 sr^-1 nm^-1); SIF band b adds to image band b, bands beyond the "
    "scene's band count are ignored. A leaf (material type 13) emits from both faces, any "
    "other material from its front face only (the side cross(v1 - v0, v2 - v0) points to).";
constexpr const char* kClearPrimitiveSifSpectra = "Clear the per-primitive SIF emission spectra.";
constexpr const char* kSetSifOnlyMode =
    "Enable/disable SIF-only mode. When true the backward kernel returns pure SIF emission and "
    "suppresses optical reflectance (BSDF/NEE/sky). The camera then sees the SIF radiance "
    "leaving the first surface each ray hits (with the face rule of "
    "set_primitive_sif_spectra) and nothing else: no sun, sky, thermal emission or "
    "scattering; without SIF spectra the image is zero.";

// ---- GPU device and simulator ------------------------------------------------------

constexpr const char* kOptiXContext =
    "One CUDA device with its stream and OptiX device context; scenes and simulators "
    "built on it keep it alive.";
constexpr const char* kOptiXContextInit =
    "Opens CUDA device `device_id` (0-based). Raises RuntimeError without a GPU, driver or "
    "GPU backend (\"Failed to set CUDA device: ...\").";
constexpr const char* kDeviceName = "The device's name (str).";
constexpr const char* kTotalVramMb = "The device's total memory in MiB (int).";
constexpr const char* kFreeVramMb = "The device's free memory in MiB now (int).";
constexpr const char* kDeviceInfo =
    "Facts about CUDA device `device_id`: a dict with \"name\" (str), \"total_vram_mb\" and "
    "\"free_vram_mb\" (int, MiB) and \"compute_capability\" (str such as \"8.6\"). Raises "
    "RuntimeError without a GPU, driver or GPU backend.";
constexpr const char* kSimulator =
    "The GPU simulations of SceneManager scenes, with pipelines compiled from the device "
    "programs in `ptx_dir` (vorn_gpu.PTX_DIR) at init() or the first simulation.";
constexpr const char* kSimulatorInit =
    "A simulator on `context` with the device programs (<stem>.ptx) in the folder "
    "`ptx_dir` (both positional); keeps the context alive. Raises RuntimeError when the "
    "module has no GPU backend.";
constexpr const char* kSimulatorInitPipeline =
    "Compiles the main pipeline from the device programs now rather than at the first "
    "simulation. Raises RuntimeError for a missing or bad PTX file.";
constexpr const char* kSimulate =
    "Renders the scene's sensor image on the GPU as simulate_cpu does on the CPU: float32 "
    "(height, width, bands), row 0 at the bottom of the view, radiance in W m^-2 sr^-1 per "
    "band unit (the sun's irradiance unit per steradian), the mean of spp samples per "
    "pixel. max_depth counts scattering events. progress(done, total, ms) is called after "
    "each sample pass (a tqdm bar or any object with update/total works too); Ctrl-C "
    "interrupts between passes. Raises RuntimeError for a scene that is not built and for "
    "device failures.";
constexpr const char* kSimulateForward =
    "Trace num_photons photons from the sun and the sky down onto the scene on the GPU, as "
    "simulate_forward_cpu does (the same photons, seeded alike: the tallies agree with the "
    "CPU's to float rounding). Photons are spread over the periodic tile when its sizes are "
    "positive, else over the sensor's ortho_w x ortho_h (W x H m), and start 0.1 m above the "
    "measurement plane; each carries W * H / num_photons m^2 of the sun's (or pi times the "
    "sky's) spectral irradiance. Returns a dict of float32 arrays of the energy so tallied "
    "(W when the spectral irradiances are in W m^-2; sums, not normalised): 'grid' of shape "
    "(len(layer_heights) - 1, ny, nx, num_bands), absorbed in cells of "
    "(W / nx) x (H / ny) metres between consecutive layer heights; 'leaf' (per_leaf) of "
    "shape (n_primitives, num_bands); 'brf' (num_brf_dirs > 0) of shape (num_brf_dirs, "
    "num_bands), energy sent towards each brf_directions unit vector (x, y, z per direction, "
    "3 * num_brf_dirs values, z > 0), per steradian; 'albedo' (num_brf_dirs > 0) of shape "
    "(num_bands,), energy escaping upwards; 'terrain' (terrain_instance_id >= 0) of shape "
    "(num_bands,), energy absorbed by that instance. prob_sun is the share of sun photons "
    "when a sky is set; max_depth counts scattering events per photon. Photons run in "
    "batches of at most 2,097,152; progress(done, total, ms), when given, is called after "
    "each, and Ctrl-C stops the call between batches. Raises RuntimeError for an unbuilt "
    "scene, a scene of another context, fewer than 2 layer heights, nx or ny < 1, "
    "num_bands outside [1, 128], an extent that is not positive, prob_sun outside [0, 1], "
    "BRF directions shorter than 3 * num_brf_dirs values or zero, non-finite inputs, and "
    "device failures; ValueError for arrays that are not one-dimensional.";
constexpr const char* kSimulateLidar =
    "Simulate LiDAR pulses on the GPU, as simulate_lidar_cpu does. pulse_origins and "
    "pulse_directions are float32 arrays of x, y, z per pulse (3 * num_pulses values at "
    "least; directions are normalised). Each pulse is a Gaussian beam of divergence "
    "half-angle beam_half_angle_rad (radians) sampled on a beam_samples_per_dim grid; "
    "surfaces return their Lambertian reflectance, RPV rho0 or leaf front (back) reflectance "
    "of the scene's first num_wavelengths bands, as pulse_energy * sensor_area * cos / "
    "(pi r^2) per sub-ray, binned by range (range_resolution metres per bin over [min_range, "
    "max_range]). Returns a dict: 'waveform' float32 (num_pulses, num_bins, num_wavelengths) "
    "smoothed by a Gaussian pulse of pulse_fwhm_ns nanoseconds ((0, num_bins, "
    "num_wavelengths) in direct_mode); 'points' float32 (num_returns, 8): x, y, z, "
    "intensity, return number, number of returns, range (m), pulse index, at most "
    "max_returns_per_pulse returns per pulse above peak_threshold (direct_mode: one record "
    "per pulse whose central ray hits within the range window, in pulse order); 'num_bins' "
    "and 'num_returns' (int). progress(done, total, ms), when given, is called after each "
    "launch (a tqdm bar or any object with update/total works too); Ctrl-C stops the call "
    "between launches. Raises RuntimeError 'No pulses to simulate.' for num_pulses "
    "< 1, and for an unbuilt scene, a scene of another context, pulse arrays shorter than "
    "3 * num_pulses values, zero or non-finite pulse directions, num_wavelengths outside "
    "[1, scene bands] and the other arguments simulate_lidar_cpu rejects.";
constexpr const char* kRunEnergyBalance =
    "Run the energy balance reverse RT kernel. Returns (top, bot) numpy arrays of length "
    "n_primitives. bot is empty when two_sided=False. sw_albedos: optional "
    "float32[n_primitives] for 2-bounce SW NEE.";
constexpr const char* kRunEnergyBalanceMultiband =
    "Run multi-band energy balance reverse RT kernel (Phase 3.1). Returns (top, bot) numpy "
    "arrays of shape [n_bands, n_primitives]. bot is empty when two_sided=False. sw_albedos: "
    "flattened float32[n_bands * n_primitives] (SoA layout).";

// ---- CPU simulations ------------------------------------------------------------------

constexpr const char* kSimulateCpu =
    "Renders the scene's sensor image on the CPU.\n\n"
    "Returns float32 (height, width, bands): band radiance in W m^-2 sr^-1 per band unit "
    "(the unit of the sun's irradiance values per steradian, e.g. W m^-2 sr^-1 nm^-1 for a "
    "sun in W m^-2 nm^-1), the mean over spp passes of one path per pixel. Row 0 is the "
    "bottom of the view (image[::-1] is upright), column 0 its left edge. spp 0 gives "
    "zeros.\n\n"
    "max_depth counts scattering events: the sun is sampled at each of the first "
    "max_depth surface hits, while sky light is seen only by a path that escapes after a "
    "scattering event, so after at most max_depth - 1 of them (max_depth=1 lights surfaces "
    "by the sun alone; camera rays that miss still see the sky). progress(done, total, ms) "
    "is called after every pass (passes done, spp, elapsed ms); a tqdm bar, or any object "
    "with update/total, may be given instead. Ctrl-C interrupts between passes.\n\n"
    "Keyword-only per-primitive data, as the GPU scene takes it: one value per "
    "primitive, numbered instance by instance and within an instance in triangle "
    "order (the scene's total triangle count of them). primitive_temperatures "
    "(K): in thermal mode the primitive emits at this temperature instead of its "
    "material's params[2..4] (a value <= 0 emits nothing). primitive_emissivities: "
    "the long-wave emissivity of the primitive in every band, in place of its "
    "material's spectral value, in emission (eps B(lambda, T)) and, for a "
    "Lambertian surface in thermal mode, in reflection (1 - eps). sif_spectra: "
    "float32[n_sif_bands * n_primitives], band-major (sif_spectra[b * n + p]), "
    "the solar-induced fluorescence leaving the emitting face as isotropic "
    "radiance in the image's units (e.g. W m^-2 sr^-1 nm^-1); SIF band b adds to "
    "image band b, bands beyond the image's are ignored. Each surface hit adds its "
    "primitive's SIF times the path throughput; a leaf (material type 13) emits "
    "from both faces, any other material from its front face only (the side that "
    "cross(v1 - v0, v2 - v0) points to). sif_only: the camera sees the SIF of the "
    "first surface it hits and nothing else (no sun, sky, thermal emission or "
    "scattering).\n\n"
    "seed: the set of random streams (0, the default, gives the standard image; another "
    "seed an independent replicate). num_threads: worker threads (0: every core); the "
    "image does not depend on it.\n\n"
    "Raises RuntimeError for a scene that is not built or has no sensor (set_sensor), "
    "spp < 0, fewer than one band, spectral ranges the scene would read outside the "
    "spectral array, per-primitive arrays of the wrong length, a negative seed or "
    "num_threads; MemoryError when the image does not fit; the progress callable's own "
    "exception (KeyboardInterrupt for Ctrl-C), the image being lost.";
constexpr const char* kSimulateForwardCpu =
    "Traces num_photons photons from the sun and the sky down onto the scene on the CPU "
    "and tallies their energy.\n\n"
    "Photons start over the tile W x H (the periodic tile when set, else the orthographic "
    "sensor's footprint), 0.1 m above the measurement plane; each carries the irradiance "
    "on a horizontal plane it stands for (sun: E cos(theta_sun); sky: pi L, in W m^-2 per "
    "band unit) times W * H / num_photons (divided by its source's selection probability "
    "when a sky is set), so tallies are energies (W per band unit). Returns a dict of float32 arrays: \"grid\" "
    "(layers, ny, nx, num_bands) absorbed in the nx x ny columns of the tile and the "
    "layers between consecutive layer_heights (m); with per_leaf, \"leaf\" "
    "(triangles, num_bands) absorbed per triangle (instance by instance); with "
    "num_brf_dirs > 0, \"brf\" (num_brf_dirs, num_bands) scattered towards each of "
    "brf_directions (3 values each, upward unit vectors) and \"albedo\" (num_bands,) "
    "escaping upwards; with terrain_instance_id >= 0, \"terrain\" (num_bands,) absorbed "
    "by that instance.\n\n"
    "prob_sun is the share of sun photons when a sky is set; without a sky every photon "
    "is a sun photon of weight 1 and prob_sun is not used. max_depth counts scattering "
    "events per photon. num_photons 0 gives zero tallies. progress(done, total, ms) is "
    "called after each batch of a million photons (photons done, num_photons, ms); a "
    "tqdm bar or any object with update/total may be given instead. Ctrl-C interrupts "
    "between batches. seed: the set of random streams (0, the default, gives the "
    "standard tallies; another seed an independent replicate). num_threads: worker "
    "threads (0: every core); the tallies do not depend on it.\n\n"
    "Raises RuntimeError for a scene that is not built, num_photons < 0, num_bands < 1, "
    "fewer than two layer heights, a grid or tile that is not positive, prob_sun outside "
    "[0, 1], fewer than 3 * num_brf_dirs direction values, spectral ranges read outside "
    "the spectral array, a negative seed or num_threads; ValueError for arrays that are "
    "not 1-D; the progress callable's own exception.";
constexpr const char* kSimulateLidarCpu =
    "Simulates LiDAR pulses on the CPU: full waveforms of a Gaussian beam footprint with "
    "their discrete returns, or (direct_mode) one hit point per pulse.\n\n"
    "pulse_origins and pulse_directions: 1-D, x, y, z per pulse (3 * num_pulses values "
    "each are read; directions of any length, used normalised). beam_half_angle_rad: "
    "beam divergence; beam_samples_per_dim: sub-rays per side of the footprint grid. "
    "pulse_energy and sensor_area scale the intensities. Ranges in m: returns between "
    "min_range and max_range, binned every range_resolution. Surfaces return their "
    "Lambertian reflectance, RPV rho0 or leaf front (back) reflectance of the first "
    "num_wavelengths bands; material types without such a value reflect nothing. Only the "
    "materials' spectral values are read, so the emitter, sky and thermal settings need "
    "not be valid. The waveform is smoothed with a Gaussian pulse of pulse_fwhm_ns (ns) "
    "and searched for up to max_returns_per_pulse peaks above peak_threshold.\n\n"
    "Returns a dict: \"waveform\" float32 (num_pulses, num_bins, num_wavelengths), "
    "(0, num_bins, num_wavelengths) in direct mode; \"points\" float32 (num_returns, 8): "
    "x, y, z, intensity, return number, number of returns, range (m), pulse index; "
    "\"num_bins\" and \"num_returns\" (int).\n\n"
    "progress(done, total, ms) is called after each batch of pulses (pulses done, "
    "num_pulses, ms); a tqdm bar or any object with update/total may be given instead. "
    "Ctrl-C interrupts between batches. The result has no random part. num_threads: "
    "worker threads (0: every core); the result does not depend on it.\n\n"
    "Raises RuntimeError for a scene that is not built, num_pulses < 0, fewer pulse values "
    "than 3 * num_pulses, non-finite origins or zero directions, ranges, resolutions, beam "
    "settings or num_wavelengths out of their bounds, reflectances read outside the "
    "spectral array, a negative num_threads; ValueError for pulse arrays that are not "
    "1-D; the progress callable's own exception.";
constexpr const char* kRunEnergyBalanceCpu =
    "Energy balance of every scene triangle on the CPU, by reverse ray tracing from "
    "n_samples uniform points per triangle. Returns (top, bot): float32 arrays of "
    "n_primitives absorbed flux densities in W m^-2 of face area for the top face "
    "(along the triangle's world normal) and the bottom face; bot is empty when "
    "two_sided is False. Short wave uses scene band band_type's optical properties: "
    "absorptance times (sun_irradiance (W m^-2 normal to the sun) times the cosine to "
    "the sun when the sun is visible, plus pi times sky_diffuse_radiance (W m^-2 sr^-1) "
    "for cosine-weighted rays escaping upwards, plus, with sw_albedos (one per "
    "triangle), albedo times the first-bounce irradiance of the triangle a ray hits). "
    "Long wave adds emissivity times (pi sky_lw_radiance for rays escaping upwards, "
    "eps sigma T^4 of the triangle a ray hits). temperatures (K) and emissivities, "
    "one per triangle, override the materials' (params[2..4] as in thermal mode; "
    "params[5] when in (0, 1], else 1). The sun direction is normalised. Primitives "
    "are numbered instance by instance, triangles in index order.\n\n"
    "Keyword-only: progress(done, total, ms) after each batch of primitives (a tqdm bar "
    "or any object with update/total works too), Ctrl-C between batches; seed, the set "
    "of random streams (0: the standard one); num_threads (0: every core), which the "
    "result does not depend on.\n\n"
    "Raises RuntimeError for a scene that is not built or has no triangles, n_samples < 1, "
    "a band_type outside "
    "the scene's bands, a zero or non-finite sun direction, arrays of the wrong length or "
    "not 1-D (\"sw_albedos must be 1D\"), a negative seed or num_threads.";
constexpr const char* kRunEnergyBalanceMultibandCpu =
    "Short-wave energy balance in scene bands 0 .. n_bands - 1 on the CPU. Returns "
    "(top, bot) of shape (n_bands, n_primitives) in W m^-2; bot has shape (0, 0) when "
    "two_sided is False. sun_irradiance and sky_diffuse_radiance hold n_bands values "
    "(empty: zero); sw_albedos is flattened band-major [n_bands * n_primitives]. Band b "
    "equals run_energy_balance_cpu with band_type b, that band's inputs and no long "
    "wave. temperatures and emissivities are checked as in run_energy_balance_cpu but "
    "do not enter the short wave. Keyword-only progress, seed and num_threads as in "
    "run_energy_balance_cpu.\n\n"
    "Raises RuntimeError for a scene that is not built or has no triangles, n_bands "
    "outside [1, scene bands], "
    "n_samples < 1, per-band arrays of other than n_bands values (\"sun_irradiance must be "
    "1D with length n_bands\"), arrays of the wrong length, a negative seed or "
    "num_threads.";

}  // namespace vorn::py_bind::doc
