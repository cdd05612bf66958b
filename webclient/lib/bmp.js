'use strict';
// Uncompressed 24-bit BMP (bottom-up rows, each padded to 4 bytes), the form the page's flags use.

function encodeBmp24(width, height, rgba) {
  const rowSize = Math.ceil((width * 3) / 4) * 4;
  const pixelBytes = rowSize * height;
  const out = Buffer.alloc(54 + pixelBytes);
  out.write('BM', 0, 'ascii');
  out.writeUInt32LE(out.length, 2);
  out.writeUInt32LE(54, 10);          // pixel data offset
  out.writeUInt32LE(40, 14);          // BITMAPINFOHEADER
  out.writeInt32LE(width, 18);
  out.writeInt32LE(height, 22);       // positive: bottom row first
  out.writeUInt16LE(1, 26);           // planes
  out.writeUInt16LE(24, 28);          // bits per pixel
  out.writeUInt32LE(0, 30);           // BI_RGB
  out.writeUInt32LE(pixelBytes, 34);
  out.writeInt32LE(2835, 38);         // 72 dpi
  out.writeInt32LE(2835, 42);
  for (let y = 0; y < height; y++) {
    const row = 54 + (height - 1 - y) * rowSize;
    for (let x = 0; x < width; x++) {
      const s = (y * width + x) * 4;
      const a = rgba[s + 3] / 255;
      // Transparent parts become white: BMP has no alpha.
      const r = Math.round(rgba[s] * a + 255 * (1 - a));
      const g = Math.round(rgba[s + 1] * a + 255 * (1 - a));
      const b = Math.round(rgba[s + 2] * a + 255 * (1 - a));
      out[row + x * 3] = b;
      out[row + x * 3 + 1] = g;
      out[row + x * 3 + 2] = r;
    }
  }
  return out;
}

// Area-averaging downscale of an RGBA image (premultiplied, so edges do not darken).
function resampleArea(src, sw, sh, dw, dh) {
  const dst = new Uint8Array(dw * dh * 4);
  const fx = sw / dw;
  const fy = sh / dh;
  for (let dy = 0; dy < dh; dy++) {
    const y0 = dy * fy;
    const y1 = y0 + fy;
    for (let dx = 0; dx < dw; dx++) {
      const x0 = dx * fx;
      const x1 = x0 + fx;
      let r = 0, g = 0, b = 0, a = 0, area = 0;
      for (let sy = Math.floor(y0); sy < Math.ceil(y1); sy++) {
        const wy = Math.min(y1, sy + 1) - Math.max(y0, sy);
        for (let sx = Math.floor(x0); sx < Math.ceil(x1); sx++) {
          const w = wy * (Math.min(x1, sx + 1) - Math.max(x0, sx));
          const i = (sy * sw + sx) * 4;
          const al = src[i + 3] / 255;
          r += src[i] * al * w;
          g += src[i + 1] * al * w;
          b += src[i + 2] * al * w;
          a += al * w;
          area += w;
        }
      }
      const o = (dy * dw + dx) * 4;
      dst[o] = a > 0 ? Math.round(r / a) : 0;
      dst[o + 1] = a > 0 ? Math.round(g / a) : 0;
      dst[o + 2] = a > 0 ? Math.round(b / a) : 0;
      dst[o + 3] = Math.round((a / area) * 255);
    }
  }
  return dst;
}

module.exports = { encodeBmp24, resampleArea };
