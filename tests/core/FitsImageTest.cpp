#include <gtest/gtest.h>

#include "image/FitsImage.h"
#include "support/TestFiles.h"

TEST(FitsImage, AllocateKeepsBufferWhenCountUnchanged)
{
    CFitsImage img;
    ASSERT_TRUE(img.Allocate(100, 200, 1));
    float* before = img.m_pData;
    img.m_pData[5] = 42.0f;
    ASSERT_TRUE(img.Allocate(200, 100, 1));
    EXPECT_EQ(img.m_pData, before);
    EXPECT_EQ(img.m_pData[5], 42.0f);
    EXPECT_EQ(img.m_width, 200);
    EXPECT_EQ(img.m_height, 100);
}
