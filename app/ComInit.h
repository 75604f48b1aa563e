#pragma once

void InitializeCom();
