// The icons and the Russian catalogue live in the static gui library; register them before use.
#pragma once

void initGuiResources();
