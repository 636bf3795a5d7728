#include "render/panorama_geometry.h"

#include <gtest/gtest.h>

#include <cmath>
#include <random>

namespace {

constexpr double kTolerance = 1e-12;

void expect_direction(const Direction& actual, const Direction& expected, double tolerance,
                      const char* what) {
  EXPECT_NEAR(actual.x, expected.x, tolerance) << what;
  EXPECT_NEAR(actual.y, expected.y, tolerance) << what;
  EXPECT_NEAR(actual.z, expected.z, tolerance) << what;
}

Direction normalised(const Direction& d) {
  const double length = std::sqrt(d.x * d.x + d.y * d.y + d.z * d.z);
  return {d.x / length, d.y / length, d.z / length};
}

// The texture coordinates at which a rotated front direction lands.
TextureCoord front_seen_through(const RotationMatrix& u) {
  return direction_to_equirect(camera_ray(0, 0, 1, 1, 90, 0, 0, 0, &u), false);
}

}  // namespace

TEST(PanoramaGeometry, EquirectOfTheMainDirections) {
  struct Case {
    Direction d;
    double u, v;
  };
  const Case cases[] = {
      {{0, 0, -1}, 0.5, 0.5},   // front
      {{1, 0, 0}, 0.75, 0.5},   // right
      {{-1, 0, 0}, 0.25, 0.5},  // left
      {{0, 0, 1}, 0.0, 0.5},    // back, on the seam at the left edge
      {{0, 1, 0}, 0.25, 0.0},   // straight up
      {{0, -1, 0}, 0.25, 1.0},  // straight down
      {{0, 0, 0}, 0.25, 0.0},   // no direction at all: no division by zero
      {{0, 1, -1}, 0.5, 0.25},  // 45° up at the front
  };
  for (const Case& c : cases) {
    const TextureCoord t = direction_to_equirect(c.d, false);
    EXPECT_NEAR(t.u, c.u, kTolerance) << c.d.x << " " << c.d.y << " " << c.d.z;
    EXPECT_NEAR(t.v, c.v, kTolerance) << c.d.x << " " << c.d.y << " " << c.d.z;
  }
  // On a cylinder the tangent of the latitude is linear: 45° up lies 1/π above the middle.
  EXPECT_NEAR(direction_to_equirect({0, 1, -1}, true).v, 0.5 - 1 / kPi, kTolerance);
  EXPECT_NEAR(direction_to_equirect({3, 0, 0}, true).v, 0.5, kTolerance);
}

TEST(PanoramaGeometry, EquirectAndBackIsTheIdentity) {
  // Pixel centres of a 360 x 180 panorama: direction -> (u, v) -> longitude/latitude -> the
  // same direction; and (u, v) of equirect_to_direction come back as its column and row.
  const int width = 360, height = 180;
  for (int row = 0; row < height; row += 7)
    for (int column = 0; column < width; column += 5) {
      const double longitude = 2 * kPi * (column + 0.5) / width - kPi;
      const double latitude = kPi / 2 - kPi * (row + 0.5) / height;
      const Direction d = direction_from_angles(longitude, latitude);
      const TextureCoord t = direction_to_equirect(d, false);
      double x = 0, y = 0;
      texture_to_source_pixel(t, width, sphere_layout(width, height), &x, &y);
      EXPECT_NEAR(x, column, 1e-9);
      EXPECT_NEAR(y, row, 1e-9);
      const Direction back = direction_from_angles(2 * kPi * t.u - kPi, kPi / 2 - kPi * t.v);
      expect_direction(back, d, 1e-12, "round trip");
    }
  // Output panorama pixels: the first and last columns are both on the back seam.
  for (int row = 1; row < 9; ++row)
    for (int column = 0; column < 13; ++column) {
      const Direction d = equirect_to_direction(column, row, 13, 10);
      const TextureCoord t = direction_to_equirect(d, false);
      const double u = column == 12 && t.u < 0.5 ? t.u + 1 : t.u;  // the seam: u = 0 or 1
      EXPECT_NEAR(u * 12, column, 1e-9) << column;
      EXPECT_NEAR(t.v * 9, row, 1e-9) << row;
    }
}

TEST(PanoramaGeometry, OutputPanoramaColumnsAndRows) {
  // Width 4: -180°, -60°, 60°, 180°; the first row is the zenith, the last the nadir.
  const double expected[] = {-180, -60, 60, 180};
  for (int column = 0; column < 4; ++column)
    expect_direction(equirect_to_direction(column, 1, 4, 3),
                     direction_from_angles(expected[column] * kDegreesToRadians, 0), kTolerance,
                     "column");
  expect_direction(equirect_to_direction(2, 0, 4, 3), {0, 1, 0}, 1e-15, "zenith");
  expect_direction(equirect_to_direction(2, 2, 4, 3), {0, -1, 0}, 1e-15, "nadir");
  // One-pixel outputs stay finite.
  const Direction single = equirect_to_direction(0, 0, 1, 1);
  EXPECT_TRUE(std::isfinite(single.x) && std::isfinite(single.y) && std::isfinite(single.z));
}

TEST(PanoramaGeometry, SphereLayouts) {
  struct Case {
    int w, h;
    bool full;
    int extent, offset;
  };
  const Case cases[] = {
      {4000, 2000, true, 2000, 0},    {4001, 2000, true, 2000, 0},  // 2000 div 2 = 1000 = 4001 div
                                                                    // 4
      {4000, 1000, false, 2000, 500}, {4000, 1999, false, 2000, 0}, {1000, 250, false, 500, 125},
  };
  for (const Case& c : cases) {
    const SphereLayout layout = sphere_layout(c.w, c.h);
    EXPECT_EQ(layout.full_sphere, c.full) << c.w << "x" << c.h;
    EXPECT_EQ(layout.extent, c.extent) << c.w << "x" << c.h;
    EXPECT_EQ(layout.offset, c.offset) << c.w << "x" << c.h;
  }
  // The horizon of a 4000 x 1000 partial sphere lies on its middle row.
  double x = 0, y = 0;
  texture_to_source_pixel({0.5, 0.5}, 4000, sphere_layout(4000, 1000), &x, &y);
  EXPECT_DOUBLE_EQ(y, 499.5);
  EXPECT_DOUBLE_EQ(x, 1999.5);
}

TEST(PanoramaGeometry, ElementaryRotations) {
  const Direction front = {0, 0, -1}, up = {0, 1, 0};
  // Yaw turns right: the front goes to the right, longitude grows.
  expect_direction(rotate_direction(yaw_rotation(90), front), {1, 0, 0}, 1e-15, "yaw");
  const TextureCoord turned = direction_to_equirect(
      rotate_direction(yaw_rotation(30), direction_from_angles(0.2, 0.1)), false);
  EXPECT_NEAR(turned.u, (0.2 + 30 * kDegreesToRadians + kPi) / (2 * kPi), 1e-12);
  // Pitch tilts the front upward; roll leans up toward the right.
  expect_direction(rotate_direction(pitch_rotation(90), front), {0, 1, 0}, 1e-15, "pitch");
  expect_direction(rotate_direction(roll_rotation(90), up), {1, 0, 0}, 1e-15, "roll");
  // The factor composed first acts first.
  const RotationMatrix yaw_then_pitch = then_rotate(yaw_rotation(90), pitch_rotation(90));
  expect_direction(rotate_direction(yaw_then_pitch, front), {1, 0, 0}, 1e-15, "order");
  const RotationMatrix pitch_then_yaw = then_rotate(pitch_rotation(90), yaw_rotation(90));
  expect_direction(rotate_direction(pitch_then_yaw, front), {0, 1, 0}, 1e-15, "order");
}

TEST(PanoramaGeometry, CubeFaceTable) {
  // Each face's centre lies on its normal, at the heading and vertical angle of the table, and
  // the up face has the back at its top edge, the down face the front at its top edge.
  struct Case {
    Direction centre;
    double heading, vertical;
  };
  const Case cases[kCubeFaceCount] = {
      {{-0.5, 0, 0}, -90, 0}, {{0, 0, -0.5}, 0, 0},  {{0.5, 0, 0}, 90, 0},
      {{0, 0, 0.5}, 180, 0},  {{0, 0.5, 0}, 0, -90}, {{0, -0.5, 0}, 0, 90},
  };
  for (int face = 0; face < kCubeFaceCount; ++face) {
    const CubeFace& f = cube_face(face);
    expect_direction(cube_face_point(face, 0.5, 0.5), cases[face].centre, 1e-15, "centre");
    expect_direction({f.normal.x * 0.5, f.normal.y * 0.5, f.normal.z * 0.5}, cases[face].centre, 0,
                     "normal");
    EXPECT_EQ(f.heading, cases[face].heading) << face;
    EXPECT_EQ(f.vertical_angle, cases[face].vertical) << face;
    // Seen from the centre, image right x image down is the viewing direction: the normal.
    const Direction& s = f.s_direction;
    const Direction& t = f.t_direction;
    const Direction cross = {s.y * t.z - s.z * t.y, s.z * t.x - s.x * t.z, s.x * t.y - s.y * t.x};
    expect_direction(cross, f.normal, 0, "handedness");
  }
  EXPECT_GT(cube_face_point(4, 0.5, 0).z, 0);  // up face: top edge at the back
  EXPECT_LT(cube_face_point(4, 0.5, 1).z, 0);  // bottom edge at the front
  EXPECT_LT(cube_face_point(5, 0.5, 0).z, 0);  // down face: top edge at the front
  // The faces' top edges: left, front, right and back all have up at the top.
  for (int face = 0; face < 4; ++face) EXPECT_EQ(cube_face_point(face, 0.3, 0).y, 0.5) << face;
}

TEST(PanoramaGeometry, RayToFaceFindsEveryFacePoint) {
  for (int face = 0; face < kCubeFaceCount; ++face)
    for (double s : {0.1, 0.5, 0.93})
      for (double t : {0.07, 0.5, 0.8}) {
        const FaceHit hit = ray_to_face(cube_face_point(face, s, t));
        ASSERT_TRUE(hit.hit);
        EXPECT_EQ(hit.face, face);
        EXPECT_NEAR(hit.s, s, 1e-12);
        EXPECT_NEAR(hit.t, t, 1e-12);
      }
  // Shared edges and corners go to the lower face number.
  EXPECT_EQ(ray_to_face({-1, 0, -1}).face, 0);  // left / front edge
  EXPECT_EQ(ray_to_face({0, 1, -1}).face, 1);   // front / up edge
  EXPECT_EQ(ray_to_face({1, 1, 1}).face, 2);    // right / back / up corner
  EXPECT_FALSE(ray_to_face({0, 0, 0}).hit);
}

TEST(PanoramaGeometry, CubeFaceCamerasMeetTheirFaces) {
  // With fov 90 and W = H = N, the ray of pixel (column, row) meets the face plane at
  // ((column + 0.5) / N, (row + 0.5) / N), for even and odd N.
  for (int n : {4, 5}) {
    for (int face = 0; face < kCubeFaceCount; ++face) {
      const CubeFace& f = cube_face(face);
      const CameraFrame camera = make_camera(n, n, 90, f.heading, f.vertical_angle, 0, nullptr);
      for (int row = 0; row < n; ++row)
        for (int column = 0; column < n; ++column) {
          const Direction ray = camera_frame_ray(camera, column, row);
          const FaceHit hit = ray_to_face(ray);
          ASSERT_TRUE(hit.hit);
          EXPECT_EQ(hit.face, face);
          EXPECT_NEAR(hit.s, (column + 0.5) / n, 1e-12);
          EXPECT_NEAR(hit.t, (row + 0.5) / n, 1e-12);
          expect_direction(
              ray, camera_ray(column, row, n, n, 90, f.heading, f.vertical_angle, 0, nullptr), 0,
              "camera_ray");
        }
    }
  }
}

TEST(PanoramaGeometry, CameraFieldOfViewRollAndSquarePixels) {
  // The top edge of a 60° camera is 30° above the horizon; pixels are square (both image-plane
  // components over the height).
  const CameraFrame camera = make_camera(200, 100, 60, 0, 0, 0, nullptr);
  const Direction top = normalised(camera_frame_ray(camera, 99.5, -0.5));
  EXPECT_NEAR(std::asin(top.y), 30 * kDegreesToRadians, 1e-12);
  const Direction right = camera_frame_ray(camera, 199.5, 49.5);
  EXPECT_NEAR(right.x / -right.z, 2 * std::tan(30 * kDegreesToRadians), 1e-12);
  // Roll leans the view's up toward the right: the top of the image looks right of centre.
  const Direction rolled = camera_ray(49.5, -0.5, 100, 100, 90, 0, 0, 30, nullptr);
  EXPECT_GT(rolled.x, 0);
  // Vertical angle counts downward.
  EXPECT_LT(camera_ray(49.5, 49.5, 100, 100, 90, 0, 20, 0, nullptr).y, 0);
}

TEST(PanoramaGeometry, LookatAndRotateCompositions) {
  // -lookat=90,0,0: the output front shows the source at u = 0.75.
  EXPECT_NEAR(front_seen_through(lookat_rotation(90, 0, 0)).u, 0.75, 1e-12);
  // -lookat=0,30,0: the output front shows the source 30° below the horizon.
  const TextureCoord down = front_seen_through(lookat_rotation(0, 30, 0));
  EXPECT_NEAR(down.u, 0.5, 1e-12);
  EXPECT_NEAR(down.v, 0.5 + 30.0 / 180, 1e-12);
  // -rotate=YXZ,10,20,-5 equals -lookat=20,10,5, for every pixel of a camera.
  RotationMatrix rotate;
  ASSERT_TRUE(order_rotation("YXZ", 10, 20, -5, &rotate));
  const RotationMatrix lookat = lookat_rotation(20, 10, 5);
  for (int i = 0; i < 4; ++i)
    for (int j = 0; j < 4; ++j) EXPECT_NEAR(rotate.m[i][j], lookat.m[i][j], 1e-15);
  // Signs of the -rotate letters: positive X looks down, Y right, Z leans up to the left.
  RotationMatrix r;
  ASSERT_TRUE(order_rotation("xyz", 30, 0, 0, &r));
  EXPECT_NEAR(front_seen_through(r).v, 0.5 + 30.0 / 180, 1e-12);
  ASSERT_TRUE(order_rotation("XYZ", 0, 40, 0, &r));
  EXPECT_NEAR(front_seen_through(r).u, 0.5 + 40.0 / 360, 1e-12);
  ASSERT_TRUE(order_rotation("ZYX", 0, 0, 25, &r));
  EXPECT_LT(rotate_direction(r, {0, 1, 0}).x, 0);
  // The last letter acts first: XY differs from YX when both angles are set.
  RotationMatrix xy, yx;
  ASSERT_TRUE(order_rotation("XYZ", 30, 40, 0, &xy));
  ASSERT_TRUE(order_rotation("YXZ", 30, 40, 0, &yx));
  const Direction via_xy = rotate_direction(xy, {0, 0, -1});
  expect_direction(
      via_xy, rotate_direction(pitch_rotation(-30), rotate_direction(yaw_rotation(40), {0, 0, -1})),
      1e-15, "XYZ: Y acts before X");
  EXPECT_GT(std::fabs(via_xy.x - rotate_direction(yx, {0, 0, -1}).x), 1e-3);
  // Only the first three characters count; other orders are refused and leave the output.
  EXPECT_TRUE(order_rotation("zxyQ", 1, 2, 3, &r));
  RotationMatrix untouched = identity_rotation();
  for (const char* bad : {"XXY", "XY", "ABC", "", "X Y"})
    EXPECT_FALSE(order_rotation(bad, 1, 2, 3, &untouched)) << bad;
  EXPECT_FALSE(order_rotation(nullptr, 1, 2, 3, &untouched));
  EXPECT_EQ(untouched.m[0][0], 1.0);
}

TEST(PanoramaGeometry, LevellingUndoesTheCameraPose) {
  // A source whose camera had heading h, pitch p and roll r: applying the pose to a direction
  // and then the levelling gives the direction back... in the order the pose was built.
  const double h = 25, p = 10, r = -7;
  const RotationMatrix pose =
      then_rotate(then_rotate(roll_rotation(r), pitch_rotation(p)), yaw_rotation(h));
  const RotationMatrix level = levelling_rotation(h, p, r);
  const Direction d = normalised({0.3, -0.2, -0.9});
  expect_direction(rotate_direction(level, rotate_direction(pose, d)), d, 1e-12, "levelling");
  // The yaw acts first.
  expect_direction(rotate_direction(levelling_rotation(90, 0, 0), {1, 0, 0}), {0, 0, -1}, 1e-15,
                   "yaw");
}

TEST(PanoramaGeometry, EulerMatricesRoundTripForAllOrders) {
  const char* const orders[] = {"XYZ", "XZY", "YXZ", "YZX", "ZXY", "ZYX"};
  std::mt19937 random(11);
  std::uniform_real_distribution<double> outer(-179.9, 179.9), middle(-89.5, 89.5);
  for (const char* order : orders) {
    for (int trial = 0; trial < 200; ++trial) {
      double angles[3] = {outer(random), outer(random), outer(random)};
      const int middle_axis = order[1] - 'X';
      angles[middle_axis] = middle(random);
      EulerMatrix m;
      ASSERT_TRUE(euler_to_matrix(order, angles[0], angles[1], angles[2], &m));
      double x = 0, y = 0, z = 0;
      ASSERT_TRUE(matrix_to_euler(order, m, &x, &y, &z));
      EXPECT_NEAR(x, angles[0], 1e-8) << order;
      EXPECT_NEAR(y, angles[1], 1e-8) << order;
      EXPECT_NEAR(z, angles[2], 1e-8) << order;
    }
    // Gimbal lock: the last letter's angle is 0 and the matrix is rebuilt all the same.
    for (double lock : {90.0, -90.0}) {
      double angles[3] = {35, -20, 50};
      angles[order[1] - 'X'] = lock;
      EulerMatrix m, rebuilt;
      ASSERT_TRUE(euler_to_matrix(order, angles[0], angles[1], angles[2], &m));
      double a[3];
      ASSERT_TRUE(matrix_to_euler(order, m, &a[0], &a[1], &a[2]));
      EXPECT_EQ(a[order[2] - 'X'], 0.0) << order;
      EXPECT_NEAR(a[order[1] - 'X'], lock, 1e-6) << order;
      ASSERT_TRUE(euler_to_matrix(order, a[0], a[1], a[2], &rebuilt));
      for (int i = 0; i < 9; ++i) EXPECT_NEAR(rebuilt.values[i], m.values[i], 1e-9) << order;
    }
  }
}

TEST(PanoramaGeometry, EulerMatrixLayoutAndOrders) {
  // R = Ra · Rb · Rc with column-vector matrices, stored column by column.
  EulerMatrix m;
  ASSERT_TRUE(euler_to_matrix("XYZ", 0, 0, 90, &m));
  // Rz(90) = [[0, -1, 0], [1, 0, 0], [0, 0, 1]]: row 0 column 1 at index 3.
  EXPECT_NEAR(m.values[3], -1, 1e-15);
  EXPECT_NEAR(m.values[1], 1, 1e-15);
  ASSERT_TRUE(euler_to_matrix("ZYX", 90, 0, 90, &m));  // Rz(90) · Rx(90)
  const double expected[9] = {0, 1, 0, 0, 0, 1, 1, 0, 0};
  for (int i = 0; i < 9; ++i) EXPECT_NEAR(m.values[i], expected[i], 1e-15) << i;
  // 90° middle angle in XYZ: z = 0 and the whole rotation folds into x.
  ASSERT_TRUE(euler_to_matrix("XYZ", 10, 90, 30, &m));
  double x = 0, y = 0, z = 0;
  ASSERT_TRUE(matrix_to_euler("XYZ", m, &x, &y, &z));
  EXPECT_EQ(z, 0.0);
  EXPECT_NEAR(y, 90, 1e-6);
  EXPECT_NEAR(x, 40, 1e-6);
  // Orders are compared exactly, upper case only; refusals are reported, not fatal.
  EXPECT_STREQ(kUnsupportedOrderMessage, "unsupported order");
  EXPECT_FALSE(euler_to_matrix("xyz", 1, 2, 3, &m));
  EXPECT_EQ(m.values[0], 1.0);
  EXPECT_FALSE(matrix_to_euler("XYZW", m, &x, &y, &z));
  EXPECT_FALSE(matrix_to_euler(nullptr, m, &x, &y, &z));
}
