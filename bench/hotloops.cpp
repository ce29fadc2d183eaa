// Google Benchmark suite for the loops that touch every pixel: the opaque
// passes, channel and orientation mapping, resampling, allocation, and the
// two writers' whole paths. Built with the project, never run by the tests;
// run build/<dir>/bench/hotloops to judge a change in isolation.
#include "rgbaimage.h"
#include "rowmap.h"

#include <ifl0.h>

#include <benchmark/benchmark.h>

#include <fcntl.h>
#include <unistd.h>

#include <cstdint>
#include <cstring>
#include <vector>

namespace {

// A picture of the benchmark's size filled with a repeatable pattern.
void fill(imagebuf& im) {
    uint32_t s = 1;
    const size_t n = size_t(im.width) * size_t(im.height) * 4;
    for (size_t i = 0; i < n; ++i) {
        s = s * 1103515245u + 12345u;
        im.pixels[i] = uint8_t((i / 4 % 4096) / 16 + (s >> 29));
    }
}

void pictureArgs(benchmark::internal::Benchmark* b) {
    b->Args({1333, 750})->Args({6028, 3391})->Unit(benchmark::kMillisecond);
}

void setBytes(benchmark::State& st, size_t perIteration) {
    st.SetBytesProcessed(int64_t(st.iterations()) * int64_t(perIteration));
}

// --- Opaque passes ---------------------------------------------------------

void BM_SetOpaque(benchmark::State& st) {
    rgbaimage im(int16_t(st.range(0)), int16_t(st.range(1)));
    fill(im);
    for (auto _ : st) {
        im.SetOpaque();
        benchmark::ClobberMemory();
    }
    setBytes(st, size_t(im.width) * size_t(im.height) * 4);
}
BENCHMARK(BM_SetOpaque)->Apply(pictureArgs);

// The driver's pass as a byte store through AlphaAt per pixel: the loop the
// vectorised rows replace, kept for comparison.
void BM_OpaquePassPerByte(benchmark::State& st) {
    rgbaimage im(int16_t(st.range(0)), int16_t(st.range(1)));
    fill(im);
    for (auto _ : st) {
        for (int y = 0; y < im.height; ++y)
            for (int x = 0; x < im.width; ++x) *im.AlphaAt(x, y) = 255;
        benchmark::ClobberMemory();
    }
    setBytes(st, size_t(im.width) * size_t(im.height) * 4);
}
BENCHMARK(BM_OpaquePassPerByte)->Apply(pictureArgs);

// A new block's first touch: the page faults a picture costs before any pixel.
void BM_AllocateAndTouch(benchmark::State& st) {
    for (auto _ : st) {
        rgbaimage im(int16_t(st.range(0)), int16_t(st.range(1)));
        im.SetOpaque();
        benchmark::DoNotOptimize(im.pixels);
    }
    setBytes(st, size_t(st.range(0)) * size_t(st.range(1)) * 4);
}
BENCHMARK(BM_AllocateAndTouch)->Apply(pictureArgs);

// --- Channel and orientation mapping ---------------------------------------

// The loader's channel list (alpha from red) applied to a decoded row.
void BM_RemapAlphaFromRed(benchmark::State& st) {
    const int w = int(st.range(0));
    std::vector<uint8_t> row(size_t(w) * 4, 77);
    const int list[4] = {0, 1, 2, 0};
    ifl0::ReadPick pick;
    ifl0::makeReadPick(4, list, 0, 3, pick);
    for (auto _ : st) {
        ifl0::remapInPlace(pick, row.data(), w);
        benchmark::ClobberMemory();
    }
    setBytes(st, row.size());
}
BENCHMARK(BM_RemapAlphaFromRed)->Arg(6028);

void BM_RemapSwapRedBlue(benchmark::State& st) {
    const int w = int(st.range(0));
    std::vector<uint8_t> row(size_t(w) * 4, 77);
    const int list[4] = {2, 1, 0, 3};
    ifl0::ReadPick pick;
    ifl0::makeReadPick(4, list, 0, 4, pick);
    for (auto _ : st) {
        ifl0::remapInPlace(pick, row.data(), w);
        benchmark::ClobberMemory();
    }
    setBytes(st, row.size());
}
BENCHMARK(BM_RemapSwapRedBlue)->Arg(6028);

// Every stored row of a picture mapped into an upright tile: orientation 1
// copies rows, 4 mirrors the row order, 6 transposes.
void BM_ReadRowsOriented(benchmark::State& st) {
    const int w = 2000, h = 1500;
    const iflOrientation o = iflOrientation(st.range(0));
    std::vector<uint8_t> stored(size_t(w) * 4, 9);
    iflSize up(w, h, 1);
    iflMapSize(o, up, iflUpperLeft);
    std::vector<uint8_t> tile(size_t(w) * size_t(h) * 4);
    ifl0::RowMap map = ifl0::RowMap::make(o, w, h, iflUpperLeft, 0, 0);
    const int list[4] = {0, 1, 2, 0};
    ifl0::ReadPick pick;
    ifl0::makeReadPick(4, list, 0, 3, pick);
    for (auto _ : st) {
        for (int r = 0; r < h; ++r) ifl0::readRow(map, pick, r, stored.data(), w, tile.data(), up.x, up.y);
        benchmark::ClobberMemory();
    }
    setBytes(st, tile.size());
}
BENCHMARK(BM_ReadRowsOriented)->Arg(1)->Arg(4)->Arg(6)->Unit(benchmark::kMillisecond);

// The writer's gather of file rows from a buffer whose channels are swapped.
void BM_WriteRowsSwapped(benchmark::State& st) {
    const int w = 2000, h = 1500;
    std::vector<uint8_t> tile(size_t(w) * size_t(h) * 4, 5), out(size_t(w) * 3);
    const int list[4] = {3, 2, 1, 0};
    ifl0::WritePick pick;
    ifl0::makeWritePick(4, list, 0, 3, pick);
    ifl0::RowMap map = ifl0::RowMap::make(iflUpperLeft, w, h, iflUpperLeft, 0, 0);
    for (auto _ : st) {
        for (int r = 0; r < h; ++r) ifl0::writeRow(map, pick, r, tile.data(), 4, w, w, out.data());
        benchmark::DoNotOptimize(out.data());
    }
    setBytes(st, tile.size());
}
BENCHMARK(BM_WriteRowsSwapped)->Unit(benchmark::kMillisecond);

// --- Resampling ------------------------------------------------------------

void BM_ResampleDown(benchmark::State& st) {
    rgbaimage src(6028, 3391), dst(1333, 750);
    fill(src);
    for (auto _ : st) {
        dst.ResampleFrom(src);
        benchmark::ClobberMemory();
    }
    setBytes(st, size_t(dst.width) * size_t(dst.height) * 4);
}
BENCHMARK(BM_ResampleDown)->Unit(benchmark::kMillisecond);

void BM_ResampleUp(benchmark::State& st) {
    rgbaimage src(1333, 750), dst(6028, 3391);
    fill(src);
    for (auto _ : st) {
        dst.ResampleFrom(src);
        benchmark::ClobberMemory();
    }
    setBytes(st, size_t(dst.width) * size_t(dst.height) * 4);
}
BENCHMARK(BM_ResampleUp)->Unit(benchmark::kMillisecond);

// --- Writers, whole path into /dev/null ------------------------------------

void writeTo(benchmark::State& st, const char* name) {
    rgbaimage im(int16_t(st.range(0)), int16_t(st.range(1)));
    fill(im);
    im.SetOpaque();
    int fd = open("/dev/null", O_WRONLY);
    const int list[4] = {0, 1, 2, 3};
    for (auto _ : st) {
        iflSize size(im.width, im.height, 3);
        iflFileConfig cfg(&size, iflUInt8);
        iflStatus status;
        iflFile* f = iflFile::create(fd, name, nullptr, &cfg, nullptr, &status);
        iflConfig layout(iflUInt8, iflInterleaved, 4, list, 0, iflUpperLeft);
        if (f) status = f->setTile(0, 0, 0, im.width, im.height, 1, im.pixels, &layout);
        if (f) f->close(0);
        if (status != iflSuccess) st.SkipWithError("write failed");
    }
    close(fd);
    setBytes(st, size_t(im.width) * size_t(im.height) * 4);
}

void BM_WriteJpeg(benchmark::State& st) { writeTo(st, "out.jpg"); }
BENCHMARK(BM_WriteJpeg)->Apply(pictureArgs);

void BM_WritePng(benchmark::State& st) { writeTo(st, "out.png"); }
BENCHMARK(BM_WritePng)->Args({1333, 750})->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
