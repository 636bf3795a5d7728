// Directions, panorama mappings, cube faces, cameras and rotations. Rotations are 4 x 4 matrices
// applied to row vectors (d' = d · m); composing A then B is the product A · B.
#include "render/panorama_geometry.h"

#include <cmath>
#include <cstring>

const char kUnsupportedOrderMessage[] = "unsupported order";

namespace {

// Cube side order 0 left, 1 front, 2 right, 3 back, 4 up, 5 down.
const CubeFace kCubeFaces[kCubeFaceCount] = {
    {{-0.5, 0.5, 0.5}, {0, 0, -1}, {0, -1, 0}, {-1, 0, 0}, -90, 0},
    {{-0.5, 0.5, -0.5}, {1, 0, 0}, {0, -1, 0}, {0, 0, -1}, 0, 0},
    {{0.5, 0.5, -0.5}, {0, 0, 1}, {0, -1, 0}, {1, 0, 0}, 90, 0},
    {{0.5, 0.5, 0.5}, {-1, 0, 0}, {0, -1, 0}, {0, 0, 1}, 180, 0},
    {{-0.5, 0.5, 0.5}, {1, 0, 0}, {0, 0, -1}, {0, 1, 0}, 0, -90},
    {{-0.5, -0.5, -0.5}, {1, 0, 0}, {0, 0, 1}, {0, -1, 0}, 0, 90},
};

double dot(const Direction& a, const Direction& b) {
  return a.x * b.x + a.y * b.y + a.z * b.z;
}

// The rotation whose upper-left 3 x 3 is `rows` (row i gives the image of axis i).
RotationMatrix rotation_from_rows(const double rows[3][3]) {
  RotationMatrix r = identity_rotation();
  for (int i = 0; i < 3; ++i)
    for (int j = 0; j < 3; ++j) r.m[i][j] = rows[i][j];
  return r;
}

// One letter of a -rotate order as its elementary rotation; false for other letters.
bool letter_rotation(char letter, double x, double y, double z, RotationMatrix* out) {
  switch (letter) {
    case 'X':
    case 'x':
      *out = pitch_rotation(-x);
      return true;
    case 'Y':
    case 'y':
      *out = yaw_rotation(y);
      return true;
    case 'Z':
    case 'z':
      *out = roll_rotation(-z);
      return true;
    default:
      return false;
  }
}

// The six accepted orders: three distinct axis letters.
bool is_axis_permutation(char a, char b, char c) {
  return a != b && b != c && a != c;
}

// Standard right-handed rotations of column vectors, as plain 3 x 3 arrays [row][column].
void axis_matrix(char axis, double degrees, double out[3][3]) {
  const double c = std::cos(degrees * kDegreesToRadians);
  const double s = std::sin(degrees * kDegreesToRadians);
  const double x[3][3] = {{1, 0, 0}, {0, c, -s}, {0, s, c}};
  const double y[3][3] = {{c, 0, s}, {0, 1, 0}, {-s, 0, c}};
  const double z[3][3] = {{c, -s, 0}, {s, c, 0}, {0, 0, 1}};
  std::memcpy(out, axis == 'X' ? x : (axis == 'Y' ? y : z), sizeof x);
}

void multiply3(const double a[3][3], const double b[3][3], double out[3][3]) {
  for (int i = 0; i < 3; ++i)
    for (int j = 0; j < 3; ++j)
      out[i][j] = a[i][0] * b[0][j] + a[i][1] * b[1][j] + a[i][2] * b[2][j];
}

const char* const kEulerOrders[] = {"XYZ", "YXZ", "ZXY", "ZYX", "YZX", "XZY"};

bool is_euler_order(const char* order) {
  if (!order) return false;
  for (const char* accepted : kEulerOrders)
    if (std::strcmp(order, accepted) == 0) return true;
  return false;
}

double clamp_unit(double value) {
  return value < -1.0 ? -1.0 : (value > 1.0 ? 1.0 : value);
}

constexpr double kRadiansToDegrees = 180.0 / kPi;
constexpr double kGimbalLimit = 0.99999;

}  // namespace

Direction direction_from_angles(double longitude, double latitude) {
  return {std::cos(latitude) * std::sin(longitude), std::sin(latitude),
          -std::cos(latitude) * std::cos(longitude)};
}

RotationMatrix identity_rotation() {
  RotationMatrix r;
  for (int i = 0; i < 4; ++i)
    for (int j = 0; j < 4; ++j) r.m[i][j] = i == j ? 1.0 : 0.0;
  return r;
}

RotationMatrix yaw_rotation(double degrees) {
  const double c = std::cos(degrees * kDegreesToRadians);
  const double s = std::sin(degrees * kDegreesToRadians);
  // x' = x c - z s, y' = y, z' = x s + z c
  const double rows[3][3] = {{c, 0, s}, {0, 1, 0}, {-s, 0, c}};
  return rotation_from_rows(rows);
}

RotationMatrix pitch_rotation(double degrees) {
  const double c = std::cos(degrees * kDegreesToRadians);
  const double s = std::sin(degrees * kDegreesToRadians);
  // x' = x, y' = y c - z s, z' = y s + z c
  const double rows[3][3] = {{1, 0, 0}, {0, c, s}, {0, -s, c}};
  return rotation_from_rows(rows);
}

RotationMatrix roll_rotation(double degrees) {
  const double c = std::cos(degrees * kDegreesToRadians);
  const double s = std::sin(degrees * kDegreesToRadians);
  // x' = x c + y s, y' = -x s + y c, z' = z
  const double rows[3][3] = {{c, -s, 0}, {s, c, 0}, {0, 0, 1}};
  return rotation_from_rows(rows);
}

RotationMatrix then_rotate(const RotationMatrix& first, const RotationMatrix& second) {
  RotationMatrix r;
  for (int i = 0; i < 4; ++i)
    for (int j = 0; j < 4; ++j) {
      double sum = 0.0;
      for (int k = 0; k < 4; ++k) sum += first.m[i][k] * second.m[k][j];
      r.m[i][j] = sum;
    }
  return r;
}

Direction rotate_direction(const RotationMatrix& r, const Direction& d) {
  return {d.x * r.m[0][0] + d.y * r.m[1][0] + d.z * r.m[2][0],
          d.x * r.m[0][1] + d.y * r.m[1][1] + d.z * r.m[2][1],
          d.x * r.m[0][2] + d.y * r.m[1][2] + d.z * r.m[2][2]};
}

TextureCoord direction_to_equirect(const Direction& d, bool cylinder) {
  const double horizontal = std::sqrt(d.x * d.x + d.z * d.z);
  if (horizontal == 0.0) return {0.25, d.y >= 0.0 ? 0.0 : 1.0};
  // The quotient can pass 1 by a rounding step; acos must not see that.
  const double a = std::acos(clamp_unit(d.z / horizontal)) / (2.0 * kPi);
  const double u = d.x <= 0.0 ? a : 1.0 - a;
  const double v =
      cylinder ? 0.5 - (d.y / horizontal) / kPi : 0.5 - std::atan(d.y / horizontal) / kPi;
  return {u, v};
}

SphereLayout sphere_layout(int32_t width, int32_t height) {
  if (height / 2 == width / 4) return {true, height, 0};
  const int32_t extent = width / 2;
  return {false, extent, (extent - height) / 2};
}

void texture_to_source_pixel(const TextureCoord& texture, int32_t width, const SphereLayout& layout,
                             double* x, double* y) {
  *x = texture.u * width - 0.5;
  *y = texture.v * layout.extent - 0.5 - layout.offset;
}

Direction equirect_to_direction(int32_t column, int32_t row, int32_t width, int32_t height) {
  // A one-pixel axis would divide by zero: its only pixel sits where the first one would.
  const double columns = width > 1 ? width - 1 : 1;
  const double rows = height > 1 ? height - 1 : 1;
  const double longitude = 2.0 * kPi * column / columns - kPi;
  const double latitude = kPi / 2.0 - kPi * row / rows;
  return direction_from_angles(longitude, latitude);
}

const CubeFace& cube_face(int face) {
  return kCubeFaces[face < 0 ? 0 : (face >= kCubeFaceCount ? kCubeFaceCount - 1 : face)];
}

bool face_is_upright(FaceOrientation orientation) {
  return orientation.quarter_turns % 4 == 0 && !orientation.mirrored;
}

CubeFace oriented_cube_face(int face, FaceOrientation orientation) {
  CubeFace f = cube_face(face);
  // Mirroring left-right puts the top-right corner at the top-left and reverses the rows.
  if (orientation.mirrored) {
    f.corner = {f.corner.x + f.s_direction.x, f.corner.y + f.s_direction.y,
                f.corner.z + f.s_direction.z};
    f.s_direction = {-f.s_direction.x, -f.s_direction.y, -f.s_direction.z};
  }
  // A clockwise quarter turn brings the bottom-left corner to the top-left; the new rows run
  // up the old columns and the new columns along the old rows.
  const int32_t turns = ((orientation.quarter_turns % 4) + 4) % 4;
  for (int32_t turn = 0; turn < turns; ++turn) {
    const Direction s = f.s_direction;
    const Direction t = f.t_direction;
    f.corner = {f.corner.x + t.x, f.corner.y + t.y, f.corner.z + t.z};
    f.s_direction = {-t.x, -t.y, -t.z};
    f.t_direction = s;
  }
  return f;
}

Direction cube_face_point(int face, double s, double t) {
  const CubeFace& f = cube_face(face);
  return {f.corner.x + s * f.s_direction.x + t * f.t_direction.x,
          f.corner.y + s * f.s_direction.y + t * f.t_direction.y,
          f.corner.z + s * f.s_direction.z + t * f.t_direction.z};
}

FaceHit ray_to_face(const Direction& d) {
  for (int face = 0; face < kCubeFaceCount; ++face) {
    const CubeFace& f = kCubeFaces[face];
    const double facing = dot(f.normal, d);
    if (!(facing > 0.0)) continue;
    const double distance = dot(f.normal, f.corner) / facing;
    if (!(distance > 0.0)) continue;
    const Direction q = {distance * d.x - f.corner.x, distance * d.y - f.corner.y,
                         distance * d.z - f.corner.z};
    const double s = dot(q, f.s_direction);
    const double t = dot(q, f.t_direction);
    if (s >= 0.0 && s <= 1.0 && t >= 0.0 && t <= 1.0) return {true, face, s, t};
  }
  return {false, -1, 0.0, 0.0};
}

CameraFrame make_camera(int32_t width, int32_t height, double fov, double heading,
                        double vertical_angle, double roll, const RotationMatrix* extra) {
  CameraFrame camera;
  camera.width = width;
  camera.height = height;
  // Exactly 90° is kept exact: cube faces then meet their planes at exact face coordinates.
  camera.distance = fov == 90.0 ? 0.5 : 0.5 / std::tan(fov * kDegreesToRadians / 2.0);
  camera.rotation = then_rotate(then_rotate(roll_rotation(roll), pitch_rotation(-vertical_angle)),
                                yaw_rotation(heading));
  if (extra) camera.rotation = then_rotate(camera.rotation, *extra);
  return camera;
}

Direction camera_frame_ray(const CameraFrame& camera, double column, double row) {
  const double height = camera.height;
  const Direction d0 = {(column + 0.5 - camera.width / 2.0) / height,
                        (height / 2.0 - row - 0.5) / height, -camera.distance};
  return rotate_direction(camera.rotation, d0);
}

Direction camera_ray(double column, double row, int32_t width, int32_t height, double fov,
                     double heading, double vertical_angle, double roll,
                     const RotationMatrix* extra) {
  const CameraFrame camera = make_camera(width, height, fov, heading, vertical_angle, roll, extra);
  return camera_frame_ray(camera, column, row);
}

RotationMatrix lookat_rotation(double heading, double vertical_angle, double roll) {
  return then_rotate(then_rotate(roll_rotation(roll), pitch_rotation(-vertical_angle)),
                     yaw_rotation(heading));
}

bool order_rotation(const char* order, double x, double y, double z, RotationMatrix* out) {
  if (!order || std::strlen(order) < 3) return false;
  RotationMatrix first, second, third;
  if (!letter_rotation(order[0], x, y, z, &first) || !letter_rotation(order[1], x, y, z, &second) ||
      !letter_rotation(order[2], x, y, z, &third))
    return false;
  const auto upper = [](char c) { return static_cast<char>(c >= 'a' ? c - 'a' + 'A' : c); };
  if (!is_axis_permutation(upper(order[0]), upper(order[1]), upper(order[2]))) return false;
  // U = R1 ∘ R2 ∘ R3: the last letter acts first.
  *out = then_rotate(then_rotate(third, second), first);
  return true;
}

RotationMatrix levelling_rotation(double heading, double pitch, double roll) {
  return then_rotate(then_rotate(yaw_rotation(-heading), pitch_rotation(-pitch)),
                     roll_rotation(-roll));
}

bool euler_to_matrix(const char* order, double x, double y, double z, EulerMatrix* out) {
  for (int i = 0; i < 9; ++i) out->values[i] = (i % 4 == 0) ? 1.0 : 0.0;
  if (!is_euler_order(order)) return false;
  const auto angle_of = [&](char axis) { return axis == 'X' ? x : (axis == 'Y' ? y : z); };
  double a[3][3], b[3][3], c[3][3], ab[3][3], r[3][3];
  axis_matrix(order[0], angle_of(order[0]), a);
  axis_matrix(order[1], angle_of(order[1]), b);
  axis_matrix(order[2], angle_of(order[2]), c);
  multiply3(a, b, ab);
  multiply3(ab, c, r);
  for (int i = 0; i < 3; ++i)
    for (int j = 0; j < 3; ++j) out->values[i + 3 * j] = r[i][j];
  return true;
}

bool matrix_to_euler(const char* order, const EulerMatrix& matrix, double* x, double* y,
                     double* z) {
  *x = *y = *z = 0.0;
  if (!is_euler_order(order)) return false;
  const auto R = [&matrix](int i, int j) { return matrix.values[i + 3 * j]; };
  // Each order: the middle angle from one element, the outer ones from two arctangents, or in
  // gimbal lock the last letter's angle 0 and the first letter's from the remaining elements.
  double ax = 0, ay = 0, az = 0;
  if (std::strcmp(order, "XYZ") == 0) {
    const double e = clamp_unit(R(0, 2));
    ay = std::asin(e);
    if (std::fabs(e) < kGimbalLimit) {
      ax = std::atan2(-R(1, 2), R(2, 2));
      az = std::atan2(-R(0, 1), R(0, 0));
    } else {
      ax = std::atan2(R(2, 1), R(1, 1));
    }
  } else if (std::strcmp(order, "XZY") == 0) {
    const double e = clamp_unit(-R(0, 1));
    az = std::asin(e);
    if (std::fabs(e) < kGimbalLimit) {
      ax = std::atan2(R(2, 1), R(1, 1));
      ay = std::atan2(R(0, 2), R(0, 0));
    } else {
      ax = std::atan2(-R(1, 2), R(2, 2));
    }
  } else if (std::strcmp(order, "YXZ") == 0) {
    const double e = clamp_unit(-R(1, 2));
    ax = std::asin(e);
    if (std::fabs(e) < kGimbalLimit) {
      ay = std::atan2(R(0, 2), R(2, 2));
      az = std::atan2(R(1, 0), R(1, 1));
    } else {
      ay = std::atan2(-R(2, 0), R(0, 0));
    }
  } else if (std::strcmp(order, "YZX") == 0) {
    const double e = clamp_unit(R(1, 0));
    az = std::asin(e);
    if (std::fabs(e) < kGimbalLimit) {
      ay = std::atan2(-R(2, 0), R(0, 0));
      ax = std::atan2(-R(1, 2), R(1, 1));
    } else {
      ay = std::atan2(R(0, 2), R(2, 2));
    }
  } else if (std::strcmp(order, "ZXY") == 0) {
    const double e = clamp_unit(R(2, 1));
    ax = std::asin(e);
    if (std::fabs(e) < kGimbalLimit) {
      az = std::atan2(-R(0, 1), R(1, 1));
      ay = std::atan2(-R(2, 0), R(2, 2));
    } else {
      az = std::atan2(R(1, 0), R(0, 0));
    }
  } else {  // ZYX
    const double e = clamp_unit(-R(2, 0));
    ay = std::asin(e);
    if (std::fabs(e) < kGimbalLimit) {
      az = std::atan2(R(1, 0), R(0, 0));
      ax = std::atan2(R(2, 1), R(2, 2));
    } else {
      az = std::atan2(-R(0, 1), R(1, 1));
    }
  }
  *x = ax * kRadiansToDegrees;
  *y = ay * kRadiansToDegrees;
  *z = az * kRadiansToDegrees;
  return true;
}
