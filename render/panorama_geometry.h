// The one direction model shared by every panorama conversion: how a viewing direction is
// written, how it maps to a pixel of a spherical (equirectangular) or cylindrical panorama, how
// the six cube faces lie around the viewer, how a perspective camera is oriented, and how the
// user's extra rotations are composed. Also the Euler-angle utilities of the tour builder.
// Nothing here touches pixels.
//
// Frame: seen from the panorama centre, x points to the right of the front view, y up and z
// backwards (the front view looks along -z). Longitude is 0 at the front, +90° to the right;
// latitude +90° straight up. User-facing angles are degrees.
#pragma once

#include <cstdint>

// A direction (not necessarily of unit length).
struct Direction {
  double x;
  double y;
  double z;
};

// Texture coordinates in the unit square: u across the 360° (0 at the back seam on the left
// edge, 0.25 left, 0.5 front, 0.75 right), v from top (0) to bottom (1).
struct TextureCoord {
  double u;
  double v;
};

// A rotation as a 4 x 4 matrix applied to row vectors, d' = d · m (only the upper-left 3 x 3 is
// used). Composed on the right, so the factor multiplied first acts first.
struct RotationMatrix {
  double m[4][4];
};

// A 3 x 3 rotation matrix of the Euler utilities (column vectors), stored column by column:
// the element of row i and column j is at index i + 3j.
struct EulerMatrix {
  double values[9];
};

constexpr double kPi = 3.14159265358979323846;
constexpr double kDegreesToRadians = kPi / 180.0;

// d(longitude, latitude) = (cos φ sin λ, sin φ, -cos φ cos λ), angles in radians.
Direction direction_from_angles(double longitude, double latitude);

// ---- elementary rotations and their composition ----------------------------------------------

RotationMatrix identity_rotation();
// Turns a direction to the right by the angle (longitude grows).
RotationMatrix yaw_rotation(double degrees);
// Tilts the front direction upward by the angle (about the x axis).
RotationMatrix pitch_rotation(double degrees);
// Leans the up direction toward the right by the angle (about the z axis).
RotationMatrix roll_rotation(double degrees);
// The rotation that applies `first`, then `second`.
RotationMatrix then_rotate(const RotationMatrix& first, const RotationMatrix& second);
Direction rotate_direction(const RotationMatrix& rotation, const Direction& d);

// ---- spherical and cylindrical panoramas -----------------------------------------------------

// Texture coordinates of a direction on a sphere (latitude linear over the height) or a cylinder
// (tangent of the latitude linear). Straight up or down gives u = 0.25 and v = 0 or 1.
TextureCoord direction_to_equirect(const Direction& d, bool cylinder);

// How a source panorama of W x H pixels covers the sphere vertically: a full sphere when
// H div 2 = W div 4 (extent H, offset 0), otherwise a partial sphere centred on the horizon
// (extent W div 2, offset (extent - H) div 2).
struct SphereLayout {
  bool full_sphere;
  int32_t extent;  // pixel height of the whole sphere
  int32_t offset;  // rows of the whole sphere above the image's first row
};
SphereLayout sphere_layout(int32_t width, int32_t height);

// Continuous source pixel position of texture coordinates: X = u W - 0.5, Y = v E - 0.5 - O, so
// pixel j spans [j - 0.5, j + 0.5). Positions outside the image are the sampler's business.
void texture_to_source_pixel(const TextureCoord& texture, int32_t width, const SphereLayout& layout,
                             double* x, double* y);

// The direction of an output panorama pixel: longitude 2π column / (W - 1) - π, latitude
// π/2 - π row / (H - 1); the first and last columns lie on the back seam, the first row at the
// zenith and the last at the nadir. A single column lies on the seam, a single row at the zenith.
Direction equirect_to_direction(int32_t column, int32_t row, int32_t width, int32_t height);

// ---- cube faces ------------------------------------------------------------------------------

// Cube side order: 0 left, 1 front, 2 right, 3 back, 4 up, 5 down.
constexpr int kCubeFaceCount = 6;

// One face: a unit square at distance 0.5 from the centre, described by the corner shown at the
// top-left of the face image and the unit edges along which s grows (rightward in the image)
// and t grows (downward), and the camera that sees it with a 90° field of view.
struct CubeFace {
  Direction corner;       // top-left corner of the face image
  Direction s_direction;  // image rightward
  Direction t_direction;  // image downward
  Direction normal;       // outward unit normal (the axis the face lies on)
  double heading;         // degrees, of the face centre
  double vertical_angle;  // degrees, positive downward
};

// The face of a cube side number 0 … 5.
const CubeFace& cube_face(int face);

// How a face image stands relative to the side it shows: the image is the side's own image
// (as cube_face describes it) mirrored left-right when mirrored, then turned clockwise by
// quarter_turns. Face sets from other programs come turned or mirrored this way.
struct FaceOrientation {
  int32_t quarter_turns = 0;  // 0 … 3, clockwise
  bool mirrored = false;
};

// True when the orientation leaves the image as it is (no turn, no mirror).
bool face_is_upright(FaceOrientation orientation);

// The face of a side as an image in that orientation shows it: the same square, with the corner
// shown at the image's top-left and the edges along its rows and columns moved accordingly.
CubeFace oriented_cube_face(int face, FaceOrientation orientation);

// The point corner + s · s_direction + t · t_direction of a face, s and t in [0, 1].
Direction cube_face_point(int face, double s, double t);

// Where a ray from the centre meets the cube; hit is false for a zero direction.
struct FaceHit {
  bool hit;
  int32_t face;
  double s;
  double t;
};
// Faces are tried in side order and the first whose square holds the point (bounds included)
// wins, so on a shared edge the lower face number wins.
FaceHit ray_to_face(const Direction& d);

// ---- perspective cameras ---------------------------------------------------------------------

// A perspective camera with everything that does not depend on the pixel precomputed: the image
// plane spans heights -0.5 … 0.5 at distance `distance`; `rotation` applies the roll, then the
// tilt, then the turn, then the extra rotation.
struct CameraFrame {
  int32_t width;
  int32_t height;
  double distance;          // 0.5 for a 90° field of view, else 0.5 / tan(fov / 2)
  RotationMatrix rotation;  // camera space to source directions
};

// A camera of W x H pixels with a vertical field of view `fov`, turned by `heading`, tilted
// `vertical_angle` downward and leaned by `roll` (all degrees); `extra` (null: none) is the user's
// extra rotation U, applied last.
CameraFrame make_camera(int32_t width, int32_t height, double fov, double heading,
                        double vertical_angle, double roll, const RotationMatrix* extra);

// The source direction seen through pixel (column, row) of a camera; both components of the
// image plane are divided by the height, so pixels are square.
Direction camera_frame_ray(const CameraFrame& camera, double column, double row);

// make_camera and camera_frame_ray in one call.
Direction camera_ray(double column, double row, int32_t width, int32_t height, double fov,
                     double heading, double vertical_angle, double roll,
                     const RotationMatrix* extra);

// ---- the user's extra rotation U -------------------------------------------------------------

// -lookat=H,V,R: the output's front shows the source at heading H, V degrees below the horizon,
// its up leaned R degrees to the right. U = Yaw(H) ∘ Pitch(-V) ∘ Roll(R).
RotationMatrix lookat_rotation(double heading, double vertical_angle, double roll);

// -rotate=ORDER,X,Y,Z: X is Pitch(-X), Y is Yaw(Y), Z is Roll(-Z); the rotation of the order's
// last letter acts first. The order is one of XYZ XZY YXZ YZX ZXY ZYX in any letter case, only
// its first three characters are examined; false (and `out` untouched) for any other order.
bool order_rotation(const char* order, double x, double y, double z, RotationMatrix* out);

// Automatic levelling from a camera pose (heading, pitch, roll in degrees):
// U = Roll(-r) ∘ Pitch(-p) ∘ Yaw(-h), the yaw acting first.
RotationMatrix levelling_rotation(double heading, double pitch, double roll);

// ---- Euler-angle utilities of the tour builder -----------------------------------------------

// The text a caller prints before ending the process when an order is not supported.
extern const char kUnsupportedOrderMessage[];  // "unsupported order"

// R = Ra · Rb · Rc for ORDER = abc (upper case: XYZ, YXZ, ZXY, ZYX, YZX or XZY) with the standard
// right-handed matrices of column vectors, each with the angle (degrees) its letter names.
// False, with the identity in `out`, for any other order.
bool euler_to_matrix(const char* order, double x, double y, double z, EulerMatrix* out);

// The angles (degrees) that rebuild `matrix` with the same order; in gimbal lock (the middle
// angle at ±90°) the last letter's angle is 0. False, with zero angles, for any other order.
bool matrix_to_euler(const char* order, const EulerMatrix& matrix, double* x, double* y, double* z);
