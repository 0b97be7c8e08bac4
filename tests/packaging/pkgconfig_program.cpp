// Built with nothing but `pkg-config --cflags --libs corvane-voicemod`.
#include <corvane/ExtensionManager.h>
#include <corvane/voicemod/VoicemodExtension.h>

int main() {
    corvane::extensions::voicemod::VoicemodExtension::load();
    return corvane::ExtensionManager::getInstance().findExtension("Voicemod") ? 0 : 1;
}
