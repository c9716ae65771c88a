#include "TestPackages.h"

Bytes FakeStub(size_t size) {
    Bytes stub(size, 0);
    stub[0] = 'M';
    stub[1] = 'Z';
    stub[0x3C] = 0x00;
    stub[0x3D] = 0x01;  // e_lfanew = 256
    return stub;
}

Bytes EngineBytes(size_t size, uint32_t seed) {
    Bytes bytes(size);
    uint32_t x = seed * 2654435761u + 1;
    for (size_t i = 0; i < size; ++i) {
        x = x * 1103515245u + 12345u;
        bytes[i] = (i % 64 < 48) ? static_cast<uint8_t>("MZ setup engine "[i % 16] + seed)
                                 : static_cast<uint8_t>(x >> 24);
    }
    return bytes;
}

PackageRecipe SoundRecipe() {
    PackageRecipe recipe;
    recipe.stub = FakeStub();
    recipe.engine32 = PayloadInput{EngineBytes(3000, 32), {}, {}};
    recipe.engine64 = PayloadInput{EngineBytes(5000, 64), {}, {}};
    for (uint8_t& b : recipe.allowedWindows.bytes) b = 0xFF;
    recipe.wrongWidthMessage = kWrongWidthText;
    recipe.unsupportedWindowsMessage = kUnsupportedText;
    recipe.engineData = Bytes(500, 0xDA);
    recipe.checkedDataBytes = 100;
    return recipe;
}

void InstallPackage(FakeWindows& fake, const Bytes& package) { fake.AddFile(fake.modulePath, package); }
