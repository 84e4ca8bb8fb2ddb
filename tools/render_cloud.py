#!/usr/bin/env python3
"""Renders a PLY point cloud written by zel_fuse to a PNG picture, without a GPU.

Usage: render_cloud.py CLOUD.ply OUT.png [--eye X Y Z] [--target X Y Z] [--size W H]

Reads the binary little-endian PLY (x y z float, red green blue uchar), looks at it through a
pinhole camera from --eye towards --target (world y points down, as in the toolkit's projects),
and splats every point as a small square (--splat pixels wide; nearer points cover farther
ones) onto a white background. Needs
numpy only.
"""
import argparse
import struct
import sys
import zlib

import numpy as np


def read_ply(path):
    with open(path, "rb") as f:
        data = f.read()
    end = data.find(b"end_header\n")
    if not data.startswith(b"ply\n") or end < 0:
        sys.exit("ERROR: not a PLY file: " + path)
    header = data[:end].decode("ascii").splitlines()
    if "format binary_little_endian 1.0" not in header:
        sys.exit("ERROR: only binary little-endian PLY files are read")
    count = next(int(l.split()[2]) for l in header if l.startswith("element vertex"))
    names = [l.split()[2] for l in header if l.startswith("property")]
    if names[:6] != ["x", "y", "z", "red", "green", "blue"]:
        sys.exit("ERROR: expected x y z red green blue, found " + " ".join(names))
    vertex = np.dtype([("x", "<f4"), ("y", "<f4"), ("z", "<f4"),
                       ("r", "u1"), ("g", "u1"), ("b", "u1")])
    body = np.frombuffer(data, dtype=vertex, count=count, offset=end + len("end_header\n"))
    xyz = np.stack([body["x"], body["y"], body["z"]], axis=1).astype(np.float64)
    rgb = np.stack([body["r"], body["g"], body["b"]], axis=1)
    return xyz, rgb


def write_png(path, rgb):
    height, width, _ = rgb.shape
    raw = b"".join(b"\x00" + rgb[y].tobytes() for y in range(height))

    def chunk(kind, payload):
        return (struct.pack(">I", len(payload)) + kind + payload +
                struct.pack(">I", zlib.crc32(kind + payload) & 0xFFFFFFFF))

    png = (b"\x89PNG\r\n\x1a\n" +
           chunk(b"IHDR", struct.pack(">IIBBBBB", width, height, 8, 2, 0, 0, 0)) +
           chunk(b"IDAT", zlib.compress(raw, 9)) + chunk(b"IEND", b""))
    with open(path, "wb") as f:
        f.write(png)


def render(xyz, rgb, eye, target, width, height, splat):
    forward = target - eye
    forward /= np.linalg.norm(forward)
    right = np.cross(forward, [0.0, -1.0, 0.0])  # world y points down: "up" is -y
    right /= np.linalg.norm(right)
    down = np.cross(forward, right)
    cam = (xyz - eye) @ np.stack([right, down, forward], axis=1)
    focal = 0.9 * width
    keep = cam[:, 2] > 0.1
    cam, colors = cam[keep], rgb[keep]
    u = np.round(focal * cam[:, 0] / cam[:, 2] + width / 2).astype(int)
    v = np.round(focal * cam[:, 1] / cam[:, 2] + height / 2).astype(int)
    image = np.full((height, width, 3), 255, dtype=np.uint8)
    order = np.argsort(-cam[:, 2])  # far first, so near points overwrite them
    for du in range(splat):
        for dv in range(splat):
            uu, vv = u[order] + du, v[order] + dv
            inside = (uu >= 0) & (uu < width) & (vv >= 0) & (vv < height)
            # Far to near: the last write to a pixel is the nearest point.
            image[vv[inside], uu[inside]] = colors[order][inside]
    return image


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("cloud")
    parser.add_argument("out")
    parser.add_argument("--eye", type=float, nargs=3, default=[-3.0, -6.0, -6.0])
    parser.add_argument("--target", type=float, nargs=3, default=[0.0, 0.5, 6.0])
    parser.add_argument("--size", type=int, nargs=2, default=[800, 600])
    parser.add_argument("--splat", type=int, default=3)
    args = parser.parse_args()
    xyz, rgb = read_ply(args.cloud)
    image = render(xyz, rgb, np.array(args.eye), np.array(args.target), args.size[0],
                   args.size[1], args.splat)
    write_png(args.out, image)
    print("Rendered %d points into %s" % (len(xyz), args.out))


if __name__ == "__main__":
    main()
