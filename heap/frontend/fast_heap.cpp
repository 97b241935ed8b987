#include "heap/frontend/fast_heap.h"

#include "heap/frontend/process_objects.h"

// Allocation size, cache size, chunk size, page size.
constinit const CACHE_DESCRIPTION FAST_HEAP::FineCaches[] = {
    {4, 256, 32, 4096},     {8, 128, 32, 4096},     {12, 128, 64, 4096},    {16, 128, 64, 4096},
    {20, 64, 64, 4096},     {24, 64, 128, 4096},    {28, 64, 128, 4096},    {32, 64, 128, 4096},
    {40, 64, 128, 4096},    {48, 64, 4096, 4096},   {56, 64, 4096, 4096},   {64, 64, 4096, 4096},
    {80, 64, 4096, 4096},   {96, 64, 4096, 4096},   {112, 64, 4096, 4096},  {128, 32, 4096, 4096},
    {160, 16, 4096, 4096},  {192, 16, 4096, 4096},  {224, 16, 4096, 4096},  {256, 16, 4096, 4096},
    {320, 8, 4096, 4096},   {384, 8, 4096, 4096},   {448, 8, 4096, 4096},   {512, 4, 4096, 4096},
    {576, 4, 8192, 8192},   {640, 4, 4096, 4096},   {704, 4, 4096, 4096},   {768, 4, 4096, 4096},
    {832, 4, 8192, 8192},   {896, 4, 8192, 8192},   {960, 4, 4096, 4096},   {0, 0, 0, 0},
};

// The third from last is the last ordinary cache (32,768 bytes, the largest
// size a cache serves), then the top cache and the large cache.
constinit const CACHE_DESCRIPTION FAST_HEAP::CoarseCaches[] = {
    {1024, 8, 8192, 8192},    {2048, 8, 8192, 8192},    {3072, 4, 65536, 65536},  {4096, 8, 65536, 65536},
    {5120, 4, 65536, 65536},  {6144, 4, 65536, 65536},  {7168, 4, 65536, 65536},  {8192, 8, 65536, 65536},
    {9216, 0, 65536, 65536},  {10240, 0, 65536, 65536}, {12288, 0, 65536, 65536}, {16384, 2, 65536, 65536},
    {21504, 0, 65536, 65536}, {32768, 0, 65536, 65536}, {65536, 0, 65536, 65536}, {65536, 0, 65536, 65536},
    {0, 0, 0, 0},
};

constinit const int32_t FAST_HEAP::VectorSizes[] = {1, 4, 16, 64, 0};

FAST_HEAP::FAST_HEAP(int32_t FreeSpaceLimit, bool ReuseFreed, bool SingleImage, bool ThreadSafeFlag)
    : DUZOVEV_FRONT_END(FineCaches, CoarseCaches, LookasideSize, LookasideThreshold, HashSize, FreeSpaceLimit,
                        VectorSizes, &ProcessBackEnd(), ReuseFreed, SingleImage, FineStride, CoarseStride,
                        ThreadSafeFlag) {}

FAST_HEAP::~FAST_HEAP() = default;
